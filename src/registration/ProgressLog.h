#pragma once

#include <string>
#include <string_view>

// The running account of one registration attempt: one line per step, each
// ended by a single line feed. It only grows while the attempt lasts.
class ProgressLog {
  public:
    void appendLine(std::string_view message)
    {
        lines.append(message);
        lines.push_back('\n');
    }
    const std::string& text() const { return lines; }
    // Hands the text over when the attempt ends; the log is empty afterwards.
    std::string release() { return std::move(lines); }

  private:
    std::string lines;
};
