#pragma once

#include <functional>
#include <string>
#include <string_view>

// The running account of one registration attempt: one line per step, each
// ended by a single line feed. It only grows while the attempt lasts.
class ProgressLog {
  public:
    // Hears each line as it is written, without its line feed.
    using Listener = std::function<void(std::string_view line)>;

    void setListener(Listener heard) { listener = std::move(heard); }
    void appendLine(std::string_view message)
    {
        lines.append(message);
        lines.push_back('\n');
        if (listener) {
            listener(message);
        }
    }
    const std::string& text() const { return lines; }
    // Hands the text over when the attempt ends; the log is empty afterwards.
    std::string release() { return std::move(lines); }

  private:
    std::string lines;
    Listener listener;
};
