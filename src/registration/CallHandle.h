#pragma once

#include "common/ByteString.h"
#include "net/CallControl.h"
#include "registration/CallFailure.h"
#include "registration/CallSettings.h"
#include "registration/RegistrationCall.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <register/register.h>
#include <string>

// The state behind a host's call handle: its own settings, its progress
// callback, its cancel flag and what its last Run learned. One thread runs it
// at a time; cancel() and retire() may come from any thread, and the progress
// callback may call anything but a second Run (which is refused as misuse).
class CallHandle {
  public:
    // The host's callback, in the calling convention of the public header
    // (__stdcall on 32-bit Windows).
    using ProgressCallback = RegisterProgressCallback;

    // The handle behind a host's pointer, or null for a null pointer, one
    // already destroyed or one that never came from DLL_RegisterCallCreate
    // (as far as its first bytes can tell).
    static CallHandle* fromHost(RegisterCall* call) noexcept;

    CallHandle() = default;
    // Wipes the last result string: it is the host's secret.
    ~CallHandle();
    CallHandle(const CallHandle&) = delete;
    CallHandle& operator=(const CallHandle&) = delete;

    // Each returns 0 or a setter error of the public header, and changes
    // nothing on error. A Run in progress keeps the settings and the callback
    // it started with.
    std::int32_t setNumber(std::int32_t option, std::int32_t value);
    std::int32_t setText(std::int32_t option, const char* value);
    void setProgress(ProgressCallback callback, void* context);

    struct RunOutcome {
        std::int32_t code;
        // The handle was destroyed during the Run: the caller frees it now.
        bool release;
    };
    // A Run on a handle that is already running is refused with code 1 and
    // the misuse reason, and the running one goes on unaffected.
    RunOutcome run(const RegistrationArguments& arguments) noexcept;
    // A cancel that finds no Run in progress is kept for the next one; a
    // Run consumes the cancels that came before its end.
    void cancel() noexcept { control.cancel(); }
    // Makes the handle unknown to fromHost. True when the caller frees it
    // now; false while a Run is in progress, which is cancelled and frees
    // the handle when it returns.
    bool retire() noexcept;

    // The value of an info of the public header; nothing for an unknown one.
    std::optional<std::int32_t> number(std::int32_t info) const;
    std::optional<std::string> text(std::int32_t info) const;

  private:
    static constexpr std::uint32_t liveMagic = 0x52474331; // "RGC1"
    std::atomic<std::uint32_t> magic{liveMagic};

    CallSettings settings;
    // REGISTER_CONFIGURATION_IGNORE clears it.
    bool readConfiguration = true;
    ProgressCallback progressCallback = nullptr;
    void* progressContext = nullptr;
    CallControl control;

    // Guards the Run's state and what it learned, which a refused Run or a
    // Destroy from another thread touches while a Run is in progress.
    mutable std::mutex state;
    bool running = false;
    bool retired = false;
    std::int32_t lastCode = -1;
    CallFailure failure;
    ByteString resultString;
    std::string progressLog;
    std::string configurationFile;
    std::uint32_t elapsedMs = 0;
};
