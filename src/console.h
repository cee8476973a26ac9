// Console messages and the operator question.
#pragma once

#include <string>

#include "run_context.h"

namespace zanrex {

// Writes `msg` verbatim unless -s, -d or -u silences the console.
void print_message(RunContext& ctx, const std::string& msg);

// Opens the event log of the run; when it cannot be opened, says so on standard error and
// ends the run with status 1.
void open_event_log(RunContext& ctx);

// Answers of ask_yes_no.
enum Answer : int { kAnswerYes = 0, kAnswerNo = 1, kAnswerQuit = 2, kAnswerStopAfter = 3 };

// Asks `prompt` with `default_text` ("y" or "n") shown as the default; an empty reply gives
// `default_answer`. -s and -y answer yes without asking.
int ask_yes_no(RunContext& ctx, const std::string& prompt, int default_answer,
               const std::string& default_text);

// The answer a reply (its line end removed) stands for. Only an empty reply takes the default:
// one character at the end of input is that answer, as it is before a line end.
int answer_for_reply(const std::string& reply, int default_answer);

}  // namespace zanrex
