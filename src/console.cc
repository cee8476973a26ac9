#include "console.h"

#include <cerrno>
#include <cstdio>

#include "event_log.h"
#include "paths.h"

namespace zanrex {

namespace {

// A reply is read in pieces of at most this many characters, line end included; the rest of
// a longer line is left for the next question.
constexpr size_t kReplyPiece = 499;

// Reads one piece of a line as fgets with a 500-character buffer would. False at end of input
// (or on a read error) before anything was read.
bool read_reply_piece(FILE* in, std::string& piece) {
  piece.clear();
  while (piece.size() < kReplyPiece) {
    int c = std::getc(in);
    if (c == EOF) {
      if (ferror(in) && errno == EINTR) {
        clearerr(in);
        continue;
      }
      break;
    }
    piece += static_cast<char>(c);
    if (c == '\n') break;
  }
  return !piece.empty();
}

}  // namespace

void print_message(RunContext& ctx, const std::string& msg) {
  if (ctx.options.quiet()) return;
  std::fwrite(msg.data(), 1, msg.size(), ctx.out);
}

void open_event_log(RunContext& ctx) {
  if (ctx.log.is_open()) return;
  if (!ctx.log.open(kEventLogFile)) {
    std::fprintf(ctx.err, "FWUPG_ERROR: could not open %s (%d), %s,%d\n", kEventLogFile, errno,
                 "intel_OPA", 1);
    throw ExitRequest{1};
  }
}

int answer_for_reply(const std::string& reply, int default_answer) {
  if (reply.empty()) return default_answer;
  for (const char* yes : {"y", "yes", "Y", "Yes", "YES"}) {
    if (reply == yes) return kAnswerYes;
  }
  for (const char* quit : {"q", "Q", "Quit", "QUIT", "quit"}) {
    if (reply == quit) return kAnswerQuit;
  }
  if (reply == "c" || reply == "C") return kAnswerStopAfter;
  return kAnswerNo;
}

int ask_yes_no(RunContext& ctx, const std::string& prompt, int default_answer,
               const std::string& default_text) {
  if (ctx.options.answers_yes()) return kAnswerYes;

  std::string question = prompt + " y/n/q (" + default_text + "):";
  print_message(ctx, question);
  std::fflush(ctx.out);

  std::string piece;
  if (!read_reply_piece(ctx.in, piece)) {
    print_message(ctx, "Unknown input problem!\nQuit...\n");
    return kAnswerQuit;
  }
  // The answer is judged on the reply as read; the log shows it printable, its line end kept.
  const bool line_end = piece.back() == '\n';
  if (line_end) piece.pop_back();
  ctx.log.info(question + " " + printable(piece) + (line_end ? "\n" : "") + "\n");
  return answer_for_reply(piece, default_answer);
}

}  // namespace zanrex
