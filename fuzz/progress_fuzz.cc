// The progress record: for any percentage and message, the record has the fixed
// frame, the percentage in decimal, and a byte count that covers exactly the
// message's bytes, so PHP's reader takes the message back whole.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "report/progress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider provider(data, size);
  const long long prc = provider.ConsumeIntegral<long long>();
  const std::string text = provider.ConsumeRemainingBytesAsString();
  const std::string record = pw::progress_record(prc, text);

  const std::string head = "a:2:{s:5:\"POURC\";i:" + std::to_string(prc) + ";s:4:\"TEXT\";s:";
  if (record.compare(0, head.size(), head) != 0) std::abort();
  size_t at = head.size();
  size_t count = 0;
  size_t digits = 0;
  while (at < record.size() && record[at] >= '0' && record[at] <= '9') {
    count = count * 10 + static_cast<size_t>(record[at++] - '0');
    ++digits;
  }
  if (digits == 0 || (digits > 1 && record[head.size()] == '0')) std::abort();
  if (record.compare(at, 2, ":\"") != 0) std::abort();
  at += 2;
  if (count != text.size() || record.compare(at, count, text) != 0) std::abort();
  at += count;
  if (record.compare(at, std::string::npos, "\";}") != 0) std::abort();
  return 0;
}
