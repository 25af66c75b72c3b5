#include "report/progress.h"

#include "report/fixed.h"

namespace pw {

std::string progress_record(long long prc, const std::string& text) {
  // The byte count delimits the message, so its bytes are copied unescaped.
  return "a:2:{s:5:\"POURC\";i:" + std::to_string(prc) + ";s:4:\"TEXT\";s:" + std::to_string(text.size()) + ":\"" +
         text + "\";}";
}

void progress(Os& os, long long prc, const std::string& text) {
  os.file_put_contents(kStartStopProgress, progress_record(prc, text));
}

void progress_restart(Os& os, long long prc, const std::string& text) {
  os.file_put_contents(kRestartProgress, progress_record(prc, text));
}

}  // namespace pw
