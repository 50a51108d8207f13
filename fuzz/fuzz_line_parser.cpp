// The controller's line parser on any bytes. The parser is strict, so every
// line it understands must be exactly the line the tool's encoder writes for
// the parsed command: anything it lets through beyond that would be a line
// the tool never sends. The first byte chooses between a raw line and the
// data bytes of a whole output report.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "emulator/line_parser.h"
#include "fuzz_check.h"
#include "protocol/command_frame.h"

namespace emu = lumbra::emulator;
namespace proto = lumbra::protocol;

namespace {

std::string Canonical(const emu::ParsedLine& parsed) {
  switch (parsed.command) {
    case emu::Command::kServiceOn: return std::string(emu::kServiceOnLine);
    case emu::Command::kStartDownload: return proto::EncodeXscrLine(proto::StartDownloadFrame());
    case emu::Command::kSectorAddress:
      return proto::EncodeXscrLine(proto::SectorAddressFrame(parsed.address));
    case emu::Command::kSectorData:
      return proto::EncodeXscrLine(proto::SectorDataFrame(std::span(parsed.chunk)));
    case emu::Command::kSectorChecksum: return proto::EncodeXscrLine(proto::SectorChecksumFrame());
    case emu::Command::kVerifyAddress:
      return proto::EncodeXscrLine(proto::VerifyAddressFrame(parsed.address));
    case emu::Command::kUnknown: break;
  }
  return {};
}

void CheckLine(std::string_view line) {
  const emu::ParsedLine parsed = emu::ParseLine(line);
  FUZZ_CHECK(parsed.Understood() == (parsed.error == emu::ParseError::kNone));
  if (!parsed.Understood()) return;
  if (parsed.command == emu::Command::kSectorAddress ||
      parsed.command == emu::Command::kVerifyAddress) {
    FUZZ_CHECK(parsed.address < emu::kFlashSize);
  }
  FUZZ_CHECK(line == Canonical(parsed));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] & 1) {
    CheckLine(bytes);
    return 0;
  }
  const emu::ReportLine line = emu::LineOfReport(bytes);
  if (line.found) {
    FUZZ_CHECK(line.text.size() < bytes.size());
    FUZZ_CHECK(line.text.find('\r') == std::string_view::npos);
    FUZZ_CHECK(bytes[line.text.size()] == '\r');
    CheckLine(line.text);
  } else {
    FUZZ_CHECK(bytes.find('\r') == std::string_view::npos);
  }
  return 0;
}
