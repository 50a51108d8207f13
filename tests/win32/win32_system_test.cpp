// What only the real system can answer: Wine's SetupAPI and HID library with
// no controller attached, and the version block of the built programs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/hid_link.h"
#include "link/win32_hid_platform.h"
#include "win32/firmware_window.h"

namespace lumbra {
namespace {

class StatusLine final : public link::TextTarget {
 public:
  void SetText(std::string_view text) override { last = text; }
  std::string last;
};

TEST(Win32SystemHidTest, NoControllerReadsNotDetected) {
  link::Win32HidPlatform platform;
  link::HidLink link(platform);
  StatusLine status;
  link.SetStatusTarget(&status);
  // Reading opens the link on demand: discovery over every listed device.
  EXPECT_FALSE(link.ReadReply());
  EXPECT_EQ(status.last, link::kNotDetected);

  // Whatever HID devices the system lists are opened, examined and closed.
  for (const std::string& path : platform.Enumerate()) {
    std::unique_ptr<link::HidDevice> device = platform.Open(path);
    if (!device) continue;
    device->Attributes();
    device->Capabilities();
  }
  std::printf("system HID devices: %zu listed, %zu refused\n", platform.Enumerate().size(),
              platform.Refused().size());
}

struct VersionBlock {
  std::vector<char> data;

  explicit VersionBlock(const char* file) {
    DWORD ignored = 0;
    data.resize(GetFileVersionInfoSizeA(file, &ignored));
    if (!data.empty() && !GetFileVersionInfoA(file, 0, static_cast<DWORD>(data.size()), data.data())) {
      data.clear();
    }
  }
  std::string String(const std::string& key) {
    char* value = nullptr;
    UINT length = 0;
    const std::string path = "\\StringFileInfo\\040904B0\\" + key;
    if (!VerQueryValueA(data.data(), path.c_str(), reinterpret_cast<void**>(&value), &length)) {
      return "<missing>";
    }
    return std::string(value, length > 0 ? length - 1 : 0);
  }
};

TEST(Win32VersionBlockTest, ProgramsCarryTheVersionBlock) {
  for (const char* file : {LUMBRA_EXE, LUMBRA_DEMO_EXE}) {
    SCOPED_TRACE(file);
    VersionBlock block(file);
    ASSERT_FALSE(block.data.empty()) << "no version block";
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    EXPECT_EQ(block.String("CompanyName"), "");
    EXPECT_EQ(block.String("FileDescription"), "lumbra MFC Application");
    EXPECT_EQ(block.String("FileVersion"), "1, 0, 0, 1");
    EXPECT_EQ(block.String("InternalName"), "lumbra");
    EXPECT_EQ(block.String("LegalTrademarks"), "");
    EXPECT_EQ(block.String("OriginalFilename"), "lumbra.EXE");
    EXPECT_EQ(block.String("ProductName"), "lumbra Application");
    EXPECT_EQ(block.String("ProductVersion"), "1, 0, 0, 1");
    EXPECT_EQ(block.String("FirmwareImageSHA256"), LUMBRA_IMAGE_SHA256);
    EXPECT_EQ(block.String("FirmwareImageStandIn"), LUMBRA_IMAGE_STANDIN);

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data.data(), "\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);
  }
}

TEST(Win32TitleTest, ExecutableNameWithoutDirectoryOrExtension) {
  EXPECT_EQ(win32::TitleFromModulePath("C:\\Program Files\\lumbra\\lumbra.EXE"), "lumbra");
  EXPECT_EQ(win32::TitleFromModulePath("Z:/work/lumbra-demo.exe"), "lumbra-demo");
  EXPECT_EQ(win32::TitleFromModulePath("C:\\v1.2\\tool"), "tool");
  EXPECT_EQ(win32::TitleFromModulePath("lumbra.x.exe"), "lumbra.x");
}

}  // namespace
}  // namespace lumbra
