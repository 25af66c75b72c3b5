#include "report/progress.h"

#include <gtest/gtest.h>

#include "testing/fake_os.h"

namespace pw {
namespace {

TEST(ProgressRecord, EncodesAsPhpSerializedArray) {
  const struct {
    long long prc;
    std::string text;
    std::string record;
  } cases[] = {
      {110, "Starting {failed}...", R"(a:2:{s:5:"POURC";i:110;s:4:"TEXT";s:20:"Starting {failed}...";})"},
      {100, "Stopping {success}...", R"(a:2:{s:5:"POURC";i:100;s:4:"TEXT";s:21:"Stopping {success}...";})"},
      {35, "Stopping...", R"(a:2:{s:5:"POURC";i:35;s:4:"TEXT";s:11:"Stopping...";})"},
      {0, "", R"(a:2:{s:5:"POURC";i:0;s:4:"TEXT";s:0:"";})"},
      {-1, "x", R"(a:2:{s:5:"POURC";i:-1;s:4:"TEXT";s:1:"x";})"},
      {5, R"(say "hi"; {ok})", R"(a:2:{s:5:"POURC";i:5;s:4:"TEXT";s:14:"say "hi"; {ok}";})"},
      {5, "\xc3\xa9t\xc3\xa9", "a:2:{s:5:\"POURC\";i:5;s:4:\"TEXT\";s:5:\"\xc3\xa9t\xc3\xa9\";}"},
      {5, std::string("a\0b", 3), std::string("a:2:{s:5:\"POURC\";i:5;s:4:\"TEXT\";s:3:\"a\0b\";}", 43)},
  };
  for (const auto& c : cases) EXPECT_EQ(progress_record(c.prc, c.text), c.record) << c.text;
}

TEST(Progress, EachWriterReplacesOnlyItsOwnFileAndAFailedWriteEndsTheCall) {
  FakeOs os;
  progress(os, 100, "Starting {success}...");
  progress_restart(os, 35, "Stopping...");
  const std::string file = "> /usr/share/brantelbase/ressources/logs/web/squid.quick.";
  EXPECT_EQ(os.trace(), (std::vector<std::string>{file + "progress " + progress_record(100, "Starting {success}..."),
                                                  file + "rprogress " + progress_record(35, "Stopping...")}));
  os.fail("write", ENOENT);
  EXPECT_THROW(progress(os, 100, "Starting {success}..."), std::system_error);
}

}  // namespace
}  // namespace pw
