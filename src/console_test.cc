#include "console.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "test_support.h"

namespace zanrex {
namespace {

// Runs the test body inside a fresh scratch directory, the way a mode runs in the package
// directory.
class InScratchDir {
 private:
  ScratchDir dir_;
  WorkingDir cwd_{dir_.path()};
};

// Asks the flash-style question once with `reply` as the whole of standard input.
int answer(const std::string& reply, int default_answer = kAnswerYes) {
  TestRun run(reply);
  return ask_yes_no(run.ctx, "Flash?", default_answer, default_answer ? "n" : "y");
}

TEST(PrintMessage, VerbatimUnlessSilencedBySilentDiscoveryOrInstall) {
  TestRun run;
  print_message(run.ctx, "100% done\n");
  print_message(run.ctx, "no line end");
  EXPECT_EQ(run.console(), "100% done\nno line end");
  for (const char* quiet : {"s", "d", "u"}) {
    TestRun silenced;
    silenced.ctx.options = options_of(quiet);
    print_message(silenced.ctx, "hidden\n");
    EXPECT_EQ(silenced.console(), "") << quiet;
  }
  TestRun other;
  other.ctx.options = options_of("fycp");
  other.ctx.status.set(kUserQuit);
  print_message(other.ctx, "shown");
  EXPECT_EQ(other.console(), "shown");
}

TEST(AskYesNo, ReplyWords) {
  for (const char* yes : {"y\n", "yes\n", "Y\n", "Yes\n", "YES\n"}) {
    EXPECT_EQ(answer(yes, kAnswerNo), kAnswerYes) << yes;
  }
  for (const char* quit : {"q\n", "Q\n", "Quit\n", "QUIT\n", "quit\n"}) {
    EXPECT_EQ(answer(quit), kAnswerQuit) << quit;
  }
  EXPECT_EQ(answer("c\n"), kAnswerStopAfter);
  EXPECT_EQ(answer("C\n"), kAnswerStopAfter);
  for (const char* no : {"n\n", "no\n", "yES\n", " y\n", "y \n", "qUIT\n", "cc\n"}) {
    EXPECT_EQ(answer(no), kAnswerNo) << no;
  }
  // Without a line end the reply still counts as read.
  EXPECT_EQ(answer("quit"), kAnswerQuit);
  EXPECT_EQ(answer("yes", kAnswerNo), kAnswerYes);
}

TEST(AskYesNo, OnlyAnEmptyReplyTakesTheDefault) {
  EXPECT_EQ(answer("\n", kAnswerYes), kAnswerYes);
  EXPECT_EQ(answer("\n", kAnswerNo), kAnswerNo);
  // One character and then end of input is that reply, as before a line end.
  EXPECT_EQ(answer("q", kAnswerNo), kAnswerQuit);
  EXPECT_EQ(answer("n", kAnswerYes), kAnswerNo);
  EXPECT_EQ(answer("c", kAnswerNo), kAnswerStopAfter);
  EXPECT_EQ(answer("y", kAnswerNo), kAnswerYes);
}

TEST(AskYesNo, EndOfInputQuits) {
  TestRun run("");
  EXPECT_EQ(ask_yes_no(run.ctx, "Flash?", kAnswerYes, "y"), kAnswerQuit);
  EXPECT_EQ(run.console(), "Flash? y/n/q (y):Unknown input problem!\nQuit...\n");
  EXPECT_EQ(run.log(), "");

  TestRun second("y\n");
  EXPECT_EQ(ask_yes_no(second.ctx, "A?", kAnswerNo, "n"), kAnswerYes);
  EXPECT_EQ(ask_yes_no(second.ctx, "B?", kAnswerNo, "n"), kAnswerQuit);
}

TEST(AskYesNo, SilentAndAssumeYesAnswerWithoutAsking) {
  for (const char* options : {"s", "y", "sf"}) {
    TestRun run("n\n");
    run.ctx.options = options_of(options);
    EXPECT_EQ(ask_yes_no(run.ctx, "Flash?", kAnswerNo, "n"), kAnswerYes);
    EXPECT_EQ(run.console(), "");
    EXPECT_EQ(run.log(), "");
    EXPECT_EQ(std::fgetc(run.ctx.in), 'n');  // nothing was read
  }
}

TEST(AskYesNo, PromptAndLoggedQuestionLine) {
  TestRun run("Yes\n");
  EXPECT_EQ(ask_yes_no(run.ctx, "Upgrade 0000:81:00.0 to 1.2.3?\n", kAnswerYes, "y"), kAnswerYes);
  EXPECT_EQ(run.console(), "Upgrade 0000:81:00.0 to 1.2.3?\n y/n/q (y):");
  // The question, a blank, the reply with its line end, a line end, and the entry's own.
  EXPECT_EQ(run.log(), "[[INFO]     ] Upgrade 0000:81:00.0 to 1.2.3?\n y/n/q (y): Yes\n\n\n");
}

TEST(AskYesNo, LongReplyIsReadInPiecesByTwoQuestions) {
  const std::string first(499, 'x');
  TestRun run(first + "yes\n");
  EXPECT_EQ(ask_yes_no(run.ctx, "A?", kAnswerYes, "y"), kAnswerNo);
  EXPECT_EQ(ask_yes_no(run.ctx, "B?", kAnswerNo, "n"), kAnswerYes);
  EXPECT_EQ(run.log(), "[[INFO]     ] A? y/n/q (y): " + first + "\n\n" +
                           "[[INFO]     ] B? y/n/q (n): yes\n\n\n");

  // A piece that ends just before the line end leaves an empty line for the next question.
  TestRun edge(std::string(499, 'y') + "\n");
  EXPECT_EQ(ask_yes_no(edge.ctx, "A?", kAnswerNo, "n"), kAnswerNo);
  EXPECT_EQ(ask_yes_no(edge.ctx, "B?", kAnswerYes, "y"), kAnswerYes);
}

TEST(OpenEventLog, OpensOnceAndAppends) {
  InScratchDir scratch;
  {
    RunContext ctx;
    ctx.log.set_clock([] { return std::time_t{0}; });
    open_event_log(ctx);
    ctx.log.info("one\n");
    open_event_log(ctx);  // a second call keeps the open log
    ctx.log.info("two\n");
  }
  FILE* f = std::fopen("intel_OPA.log", "r");
  ASSERT_NE(f, nullptr);
  std::string text;
  for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
  std::fclose(f);
  EXPECT_EQ(text, format_log_line(0, kTagInfo, "one\n") + format_log_line(0, kTagInfo, "two\n"));
}

TEST(OpenEventLog, FailureSaysSoOnStandardErrorAndEndsWithStatusOne) {
  InScratchDir scratch;
  ASSERT_EQ(mkdir("intel_OPA.log", 0755), 0);
  char* err_buf = nullptr;
  size_t err_size = 0;
  RunContext ctx;
  ctx.err = open_memstream(&err_buf, &err_size);
  int status = -1;
  try {
    open_event_log(ctx);
  } catch (const ExitRequest& e) {
    status = e.status;
  }
  std::fclose(ctx.err);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(std::string(err_buf, err_size),
            "FWUPG_ERROR: could not open intel_OPA.log (21), intel_OPA,1\n");
  std::free(err_buf);
  EXPECT_FALSE(ctx.log.is_open());
}

}  // namespace
}  // namespace zanrex
