// The controller's line parser on any bytes. The parser is strict, so every
// line it understands must be exactly the line the tool's encoder writes for
// the parsed command: anything it lets through beyond that would be a line
// the tool never sends. The first byte chooses between a raw line and the
// data bytes of a whole output report.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "emulator/line_parser.h"
#include "fuzz_check.h"
#include "protocol/command_frame.h"

namespace emu = lumbra::emulator;
namespace proto = lumbra::protocol;

static std::string Canonical(const emu::ParsedLine& parsed) {
  using emu::Command;
  switch (parsed.command) {
    case Command::kServiceOn: return std::string(emu::kServiceOnLine);
    case Command::kStartDownload: return proto::EncodeXscrLine(proto::StartDownloadFrame());
    case Command::kSectorAddress: return proto::EncodeXscrLine(proto::SectorAddressFrame(parsed.address));
    case Command::kSectorData: return proto::EncodeXscrLine(proto::SectorDataFrame(std::span(parsed.chunk)));
    case Command::kSectorChecksum: return proto::EncodeXscrLine(proto::SectorChecksumFrame());
    case Command::kVerifyAddress: return proto::EncodeXscrLine(proto::VerifyAddressFrame(parsed.address));
    case Command::kUnknown: break;
  }
  return {};
}

static void CheckLine(std::string_view line) {
  const emu::ParsedLine parsed = emu::ParseLine(line);
  FUZZ_CHECK(parsed.Understood() == (parsed.error == emu::ParseError::kNone));
  if (!parsed.Understood()) return;
  FUZZ_CHECK(parsed.address < emu::kFlashSize);
  FUZZ_CHECK(line == Canonical(parsed));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] & 1) {
    CheckLine(bytes);
    return 0;
  }
  // A report's line is everything before its first carriage return.
  const emu::ReportLine line = emu::LineOfReport(bytes);
  const std::size_t end = bytes.find('\r');
  FUZZ_CHECK(line.found == (end != std::string_view::npos));
  if (line.found) {
    FUZZ_CHECK(line.text.data() == bytes.data() && line.text.size() == end);
    CheckLine(line.text);
  }
  return 0;
}
