#!/usr/bin/env python3
"""One registration through the call handle of the register library, loaded
with ctypes and run on a worker thread while the main thread waits and may
cancel.

    register_sample.py [--library FILE] [--directory HOST:PORT[,HOST:PORT]]
                       [--deadline MS] [--cancel-after MS]
                       [TEXT [SETTING [FLAG1 FLAG2 FLAG3]]]

The library file comes from --library, else REGISTER_LIBRARY, else the
platform's name for it, found by the system loader's usual search. Without
--directory the library takes REGISTER_DIRECTORY, then register.ini, then its
built-in servers. Exit status: 0 exactly when the code is 0, 1 for any other
code, 2 for a bad command line.
"""

import argparse
import ctypes
import os
import struct
import sys
import threading

REGISTER_RESULT_SUCCESS = 0
REGISTER_OPTION_DEADLINE_MS = 4
REGISTER_OPTION_DIRECTORY = 101
REGISTER_SET_OK = 0
REGISTER_INFO_CODE = 1
REGISTER_INFO_REASON = 2
REGISTER_INFO_RESULT = 101

# The functions are __stdcall on 32-bit Windows only; 64-bit Windows and
# Linux have one calling convention each, which CDLL and CFUNCTYPE use.
_STDCALL = sys.platform == "win32" and struct.calcsize("P") == 4
if _STDCALL:
    _Library, _FunctionType = ctypes.WinDLL, ctypes.WINFUNCTYPE
else:
    _Library, _FunctionType = ctypes.CDLL, ctypes.CFUNCTYPE

# int32_t (*)(void* context, const char* line, int32_t length). The line is
# not zero-terminated, so it is taken as a pointer, not as c_char_p.
ProgressCallback = _FunctionType(
    ctypes.c_int32, ctypes.c_void_p, ctypes.POINTER(ctypes.c_char), ctypes.c_int32
)


def default_library_name():
    if sys.platform == "win32":
        return "register.dll"
    if sys.platform == "darwin":
        return "libregister.dylib"
    return "libregister.so.1"


def load_library(path):
    library = _Library(path)
    # RegisterCall* is opaque: a void pointer. Without restype ctypes would
    # truncate it to a C int on 64-bit systems.
    handle = ctypes.c_void_p
    declarations = {
        "DLL_RegisterCallCreate": (handle, []),
        "DLL_RegisterCallDestroy": (None, [handle]),
        "DLL_RegisterCallSetNumber": (ctypes.c_int32, [handle, ctypes.c_int32, ctypes.c_int32]),
        "DLL_RegisterCallSetText": (ctypes.c_int32, [handle, ctypes.c_int32, ctypes.c_char_p]),
        "DLL_RegisterCallSetProgress": (
            ctypes.c_int32,
            [handle, ProgressCallback, ctypes.c_void_p],
        ),
        "DLL_RegisterCallRun": (
            ctypes.c_int32,
            [handle, ctypes.c_char_p] + [ctypes.c_int32] * 4,
        ),
        "DLL_RegisterCallCancel": (None, [handle]),
        "DLL_RegisterCallGetNumber": (ctypes.c_int32, [handle, ctypes.c_int32]),
        "DLL_RegisterCallGetText": (
            ctypes.c_int32,
            [handle, ctypes.c_int32, ctypes.c_char_p, ctypes.c_int32],
        ),
        "DLL_RegisterResultText": (ctypes.c_char_p, [ctypes.c_int32]),
        "DLL_RegisterReasonText": (ctypes.c_char_p, [ctypes.c_int32]),
        "DLL_RegisterVersion": (ctypes.c_char_p, []),
    }
    for name, (restype, argtypes) in declarations.items():
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes
    return library


def quoted(data):
    """The result string may hold zero bytes and needs no particular encoding."""
    return '"' + "".join(
        chr(b) if 0x20 <= b < 0x7F and b not in (0x22, 0x5C) else "\\x%02X" % b for b in data
    ) + '"'


def main():
    parser = argparse.ArgumentParser(description="One registration through a call handle.")
    parser.add_argument("--library", default=os.environ.get("REGISTER_LIBRARY"))
    parser.add_argument("--directory", help="host:port[,host:port]; else REGISTER_DIRECTORY")
    parser.add_argument("--deadline", type=int, default=30000, metavar="MS")
    parser.add_argument("--cancel-after", type=int, metavar="MS")
    parser.add_argument("text", nargs="?", default="player@example.com")
    parser.add_argument("setting", nargs="?", type=int, default=3)
    parser.add_argument("flags", nargs="*", type=int, default=[1, 0, 1])
    args = parser.parse_args()
    if len(args.flags) != 3:
        parser.error("give all three flags or none")

    lib = load_library(args.library or default_library_name())
    print("library", lib.DLL_RegisterVersion().decode())

    call = lib.DLL_RegisterCallCreate()
    if not call:
        print("DLL_RegisterCallCreate: out of memory", file=sys.stderr)
        return 1
    try:
        # The setters check at once, so a bad value is reported here, not by Run.
        if args.directory is not None and (
            lib.DLL_RegisterCallSetText(call, REGISTER_OPTION_DIRECTORY, args.directory.encode())
            != REGISTER_SET_OK
        ):
            print("bad directory:", args.directory, file=sys.stderr)
            return 2
        set_deadline = lib.DLL_RegisterCallSetNumber(
            call, REGISTER_OPTION_DEADLINE_MS, args.deadline
        )
        if set_deadline != REGISTER_SET_OK:
            print("bad deadline:", args.deadline, file=sys.stderr)
            return 2

        def on_progress(context, line, length):
            # Runs on the worker thread, inside DLL_RegisterCallRun. An
            # exception cannot cross into the library, so none may escape.
            try:
                print("progress:", ctypes.string_at(line, length).decode("latin-1"), flush=True)
            except Exception:
                pass
            return 0  # non-zero would cancel the Run

        # The library holds only a raw function pointer into this ctypes
        # object; were it collected, a Run would call freed memory. The
        # local variable keeps it alive until the handle is destroyed.
        progress = ProgressCallback(on_progress)
        lib.DLL_RegisterCallSetProgress(call, progress, None)

        text = args.text.encode()
        # Set when Run has returned. Waiting on an event rather than on
        # Thread.join, because some Python versions (3.11 among them) take a
        # join interrupted by Ctrl-C for the thread's end, and the handle must
        # not be destroyed under a running Run.
        finished = threading.Event()

        def worker():
            # ctypes releases the GIL during the call, so the main thread
            # stays free to cancel. The code is read from the handle later.
            try:
                lib.DLL_RegisterCallRun(call, text, args.setting, *args.flags)
            finally:
                finished.set()

        thread = threading.Thread(target=worker)
        thread.start()
        try:
            if args.cancel_after is not None and not finished.wait(args.cancel_after / 1000.0):
                print("cancelling after %d ms" % args.cancel_after, flush=True)
                lib.DLL_RegisterCallCancel(call)  # the one call safe from another thread
            finished.wait()
        except KeyboardInterrupt:
            # Ctrl-C: cancel, and wait the few milliseconds Run takes to return.
            lib.DLL_RegisterCallCancel(call)
            finished.wait()
        thread.join()

        code = lib.DLL_RegisterCallGetNumber(call, REGISTER_INFO_CODE)
        reason = lib.DLL_RegisterCallGetNumber(call, REGISTER_INFO_REASON)
        print("code: %d (%s)" % (code, lib.DLL_RegisterResultText(code).decode()))
        print("reason: %d (%s)" % (reason, lib.DLL_RegisterReasonText(reason).decode()))
        # Ask for the length with no buffer, then copy; the extra byte takes the zero.
        length = lib.DLL_RegisterCallGetText(call, REGISTER_INFO_RESULT, None, 0)
        buffer = ctypes.create_string_buffer(length + 1)
        lib.DLL_RegisterCallGetText(call, REGISTER_INFO_RESULT, buffer, length + 1)
        print("result:", quoted(buffer.raw[:length]))
        return 0 if code == REGISTER_RESULT_SUCCESS else 1
    finally:
        lib.DLL_RegisterCallDestroy(call)


if __name__ == "__main__":
    sys.exit(main())
