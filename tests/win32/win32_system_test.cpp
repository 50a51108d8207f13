// What only the built programs can answer: their version block. Wine's SetupAPI
// with no controller is lumbra-cli.exe's (list exits 3), with one the HID-stack test's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <windows.h>

namespace lumbra {
namespace {

// The version block of packaging/lumbra.rc.in, read back from each program: its
// strings, the image's hash and stand-in flag, and the translation that finds them.
TEST(Win32VersionBlockTest, ProgramsCarryTheVersionBlock) {
  const std::pair<const char*, const char*> strings[] = {
      {"FileDescription", "lumbra MFC Application"}, {"FileVersion", "1, 0, 0, 1"},
      {"ProductName", "lumbra Application"}, {"ProductVersion", "1, 0, 0, 1"},
      {"FirmwareImageSHA256", LUMBRA_IMAGE_SHA256}, {"FirmwareImageStandIn", LUMBRA_IMAGE_STANDIN}};
  for (const char* file : {LUMBRA_EXE, LUMBRA_DEMO_EXE}) {
    SCOPED_TRACE(file);
    DWORD ignored = 0;
    std::vector<char> block(GetFileVersionInfoSizeA(file, &ignored));
    ASSERT_FALSE(block.empty()) << "no version block";
    ASSERT_TRUE(GetFileVersionInfoA(file, 0, static_cast<DWORD>(block.size()), block.data()));
    const auto query = [&](const std::string& path, UINT* length) -> const void* {
      void* value = nullptr;
      return VerQueryValueA(block.data(), path.c_str(), &value, length) ? value : nullptr;
    };
    UINT length = 0;
    for (const auto& [key, value] : strings) {
      const std::string path = std::string("\\StringFileInfo\\040904B0\\") + key;
      const auto* text = static_cast<const char*>(query(path, &length));
      EXPECT_EQ(text ? std::string(text, length > 0 ? length - 1 : 0) : "<missing>", value) << key;
    }
    const auto* words = static_cast<const WORD*>(query("\\VarFileInfo\\Translation", &length));
    ASSERT_NE(words, nullptr);
    EXPECT_EQ(std::vector<WORD>(words, words + length / 2), (std::vector<WORD>{0x0409, 1200}));
  }
}

}  // namespace
}  // namespace lumbra
