#pragma once

#include "common/ByteString.h"
#include "net/CallControl.h"
#include "registration/CallFailure.h"
#include "registration/CallSettings.h"
#include "registration/RunRegistration.h"

#include <cstdint>
#include <optional>
#include <register/register.h>
#include <string>

// The state behind a host's call handle: its own settings, its progress
// callback, its cancel flag and what its last Run learned. One thread uses
// it at a time; cancel() alone may come from any thread.
class CallHandle {
  public:
    // The host's callback, in the calling convention of the public header
    // (__stdcall on 32-bit Windows).
    using ProgressCallback = RegisterProgressCallback;

    // Each returns 0 or a setter error of the public header, and changes
    // nothing on error.
    std::int32_t setNumber(std::int32_t option, std::int32_t value);
    std::int32_t setText(std::int32_t option, const char* value);
    void setProgress(ProgressCallback callback, void* context);

    std::int32_t run(const RegistrationArguments& arguments) noexcept;
    // A cancel that finds no Run in progress is kept for the next one; a
    // Run consumes the cancels that came before its end.
    void cancel() noexcept { control.cancel(); }

    // The value of an info of the public header; nothing for an unknown one.
    std::optional<std::int32_t> number(std::int32_t info) const;
    std::optional<std::string> text(std::int32_t info) const;

  private:
    CallSettings settings;
    ProgressCallback progressCallback = nullptr;
    void* progressContext = nullptr;
    CallControl control;

    std::int32_t lastCode = -1;
    CallFailure failure;
    ByteString resultString;
    std::string progressLog;
    std::uint32_t elapsedMs = 0;
};
