// The lines register-host prints about a registration, shared by the call
// handle and the older one-call interface so that both read alike.
#pragma once

#include <string_view>

// `result: "..."`, or `result (hex): ..` when any byte is not printable.
void printResult(std::string_view result);

// `log:` and the log as the library wrote it, each line ended by '\n'.
void printLog(std::string_view log);
