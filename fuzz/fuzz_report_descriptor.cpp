// The report descriptor parser on arbitrary bytes: it must stay inside the
// buffer and never claim a report longer than the parser's own limit.
#include "fuzz_check.h"
#include "link/report_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto layout = lumbra::link::ParseReportDescriptor({data, size});
  if (!layout) return 0;
  FUZZ_CHECK(layout->lengths.input != 0 || layout->lengths.output != 0);
  // 16 KiB of report data plus the ID byte is the most the parser admits.
  FUZZ_CHECK(layout->lengths.input <= 16385 && layout->lengths.output <= 16385);
  return 0;
}
