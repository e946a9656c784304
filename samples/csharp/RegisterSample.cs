// One registration through the call handle of the register library, called
// through P/Invoke and run on a worker thread while the main thread waits and
// may cancel.
//
//   RegisterSample [--directory HOST:PORT[,HOST:PORT]] [--deadline MS]
//                  [--cancel-after MS] [--log-file PATH]
//                  [TEXT [SETTING [FLAG1 FLAG2 FLAG3]]]
//
// Without --directory the library takes REGISTER_DIRECTORY, then register.ini,
// then its built-in servers. Exit status: 0 exactly when the code is 0, 1 for
// any other code, 2 for a bad command line.
//
// Build and run with Mono:   mcs -out:RegisterSample.exe RegisterSample.cs
//                            LD_LIBRARY_PATH=DIR mono RegisterSample.exe
// With .NET the same file builds in any console project.

using System;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

static class RegisterNative
{
    // "register" becomes register.dll on Windows and libregister.so on Linux
    // (Mono and .NET both add the prefix and suffix). RegisterSample.exe.config
    // maps it to libregister.so.1 for Mono, the name a run-time install has.
    const string Library = "register";

    // The functions are __stdcall on 32-bit Windows and use the platform's only
    // convention on 64-bit Windows and Linux. An attribute is fixed when the
    // assembly is compiled, and one assembly runs on all of them, so Winapi
    // says exactly that: stdcall on x86 Windows, the platform default elsewhere.
    const CallingConvention Convention = CallingConvention.Winapi;

    public const int ResultSuccess = 0;
    public const int OptionDeadlineMs = 4;
    public const int OptionDirectory = 101;
    public const int OptionLogFile = 102;
    public const int SetOk = 0;
    public const int InfoCode = 1;
    public const int InfoReason = 2;
    public const int InfoResult = 101;

    // The line is not zero-terminated, so it arrives as a pointer and a length.
    [UnmanagedFunctionPointer(Convention)]
    public delegate int ProgressCallback(IntPtr context, IntPtr line, int length);

    [DllImport(Library, CallingConvention = Convention)]
    public static extern IntPtr DLL_RegisterCallCreate();

    [DllImport(Library, CallingConvention = Convention)]
    public static extern void DLL_RegisterCallDestroy(IntPtr call);

    [DllImport(Library, CallingConvention = Convention)]
    public static extern int DLL_RegisterCallSetNumber(IntPtr call, int option, int value);

    // The library takes every text option, paths included, as UTF-8 on every
    // platform. LPStr would convert a path with the ANSI code page on Windows
    // and turn "Jürgen.log" into another file's name.
    [DllImport(Library, CallingConvention = Convention)]
    public static extern int DLL_RegisterCallSetText(IntPtr call, int option,
                                                     [MarshalAs(UnmanagedType.LPUTF8Str)]
                                                     string value);

    [DllImport(Library, CallingConvention = Convention)]
    public static extern int DLL_RegisterCallSetProgress(IntPtr call, ProgressCallback callback,
                                                         IntPtr context);

    // The text goes as zero-terminated bytes rather than a string, so that the
    // program, not the marshaller's code page, decides which bytes are sent.
    [DllImport(Library, CallingConvention = Convention)]
    public static extern int DLL_RegisterCallRun(IntPtr call, byte[] text, int setting, int flag1,
                                                 int flag2, int flag3);

    [DllImport(Library, CallingConvention = Convention)]
    public static extern void DLL_RegisterCallCancel(IntPtr call);

    [DllImport(Library, CallingConvention = Convention)]
    public static extern int DLL_RegisterCallGetNumber(IntPtr call, int info);

    // A null array is passed as a null pointer, for asking the length first.
    [DllImport(Library, CallingConvention = Convention)]
    public static extern int DLL_RegisterCallGetText(IntPtr call, int info,
                                                     [Out] byte[] buffer, int capacity);

    // These return the library's own constant text. Declared as string, the
    // marshaller would free it; as IntPtr it is only read.
    [DllImport(Library, CallingConvention = Convention)]
    public static extern IntPtr DLL_RegisterResultText(int code);

    [DllImport(Library, CallingConvention = Convention)]
    public static extern IntPtr DLL_RegisterReasonText(int reason);

    [DllImport(Library, CallingConvention = Convention)]
    public static extern IntPtr DLL_RegisterVersion();
}

static class RegisterSample
{
    static int Usage()
    {
        Console.Error.WriteLine("usage: RegisterSample [--directory HOST:PORT[,HOST:PORT]] " +
                                "[--deadline MS] [--cancel-after MS] [--log-file PATH] " +
                                "[TEXT [SETTING [FLAG1 FLAG2 FLAG3]]]");
        return 2;
    }

    // The result string may hold zero bytes and needs no particular encoding.
    static string Quoted(byte[] bytes, int length)
    {
        var text = new StringBuilder("\"");
        for (int i = 0; i < length; ++i) {
            byte b = bytes[i];
            if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
                text.Append((char)b);
            } else {
                text.AppendFormat("\\x{0:X2}", b);
            }
        }
        return text.Append('"').ToString();
    }

    static int Main(string[] args)
    {
        string directory = null;
        string logFile = null;
        int deadline = 30000;
        int cancelAfter = -1;
        int first = 0;
        for (; first + 1 < args.Length && args[first].StartsWith("--"); first += 2) {
            string value = args[first + 1];
            bool good = true;
            switch (args[first]) {
            case "--directory": directory = value; break;
            case "--log-file": logFile = value; break;
            case "--deadline": good = int.TryParse(value, out deadline); break;
            case "--cancel-after": good = int.TryParse(value, out cancelAfter); break;
            default: good = false; break;
            }
            if (!good) {
                return Usage();
            }
        }
        if (args.Length - first > 5 || (first < args.Length && args[first].StartsWith("--"))) {
            return Usage();
        }
        string text = first < args.Length ? args[first] : "player@example.com";
        int[] numbers = { 3, 1, 0, 1 }; // setting, flag1, flag2, flag3
        for (int i = 0; i < numbers.Length && first + 1 + i < args.Length; ++i) {
            if (!int.TryParse(args[first + 1 + i], out numbers[i])) {
                return Usage();
            }
        }

        string version = Marshal.PtrToStringAnsi(RegisterNative.DLL_RegisterVersion());
        Console.WriteLine("library " + version);
        IntPtr call = RegisterNative.DLL_RegisterCallCreate();
        if (call == IntPtr.Zero) {
            Console.Error.WriteLine("DLL_RegisterCallCreate: out of memory");
            return 1;
        }
        try {
            // The setters check at once, so a bad value is reported here, not by Run.
            if (directory != null &&
                RegisterNative.DLL_RegisterCallSetText(call, RegisterNative.OptionDirectory,
                                                       directory) != RegisterNative.SetOk) {
                Console.Error.WriteLine("bad directory: " + directory);
                return 2;
            }
            if (logFile != null &&
                RegisterNative.DLL_RegisterCallSetText(call, RegisterNative.OptionLogFile,
                                                       logFile) != RegisterNative.SetOk) {
                Console.Error.WriteLine("bad log file: " + logFile);
                return 2;
            }
            if (RegisterNative.DLL_RegisterCallSetNumber(call, RegisterNative.OptionDeadlineMs,
                                                         deadline) != RegisterNative.SetOk) {
                Console.Error.WriteLine("bad deadline: " + deadline);
                return 2;
            }

            // Called on the worker thread inside Run. An exception that left
            // the delegate would unwind into native frames: .NET ends the
            // process, and Mono's behaviour is undefined. So none leaves it.
            RegisterNative.ProgressCallback progress = (context, line, length) => {
                try {
                    var bytes = new byte[length];
                    Marshal.Copy(line, bytes, 0, length);
                    Console.WriteLine("progress: " + Encoding.UTF8.GetString(bytes));
                } catch (Exception) {
                }
                return 0; // non-zero would cancel the Run
            };
            // The library holds only a native pointer to the delegate; the
            // local variable and GC.KeepAlive below keep the collector from
            // freeing it while a Run may still call it.
            RegisterNative.DLL_RegisterCallSetProgress(call, progress, IntPtr.Zero);

            byte[] textBytes = Encoding.UTF8.GetBytes(text + "\0");
            // The code is read from the handle afterwards, so the worker
            // needs to pass nothing back.
            var worker = new Thread(() => {
                RegisterNative.DLL_RegisterCallRun(call, textBytes, numbers[0], numbers[1],
                                                   numbers[2], numbers[3]);
            });
            worker.Start();
            if (cancelAfter >= 0 && !worker.Join(cancelAfter)) {
                Console.WriteLine("cancelling after " + cancelAfter + " ms");
                RegisterNative.DLL_RegisterCallCancel(call); // safe from any thread
            }
            worker.Join();
            GC.KeepAlive(progress);

            int code = RegisterNative.DLL_RegisterCallGetNumber(call, RegisterNative.InfoCode);
            int reason = RegisterNative.DLL_RegisterCallGetNumber(call, RegisterNative.InfoReason);
            string codeText = Marshal.PtrToStringAnsi(RegisterNative.DLL_RegisterResultText(code));
            string reasonText =
                Marshal.PtrToStringAnsi(RegisterNative.DLL_RegisterReasonText(reason));
            Console.WriteLine("code: {0} ({1})", code, codeText);
            Console.WriteLine("reason: {0} ({1})", reason, reasonText);
            // Ask for the length with no buffer, then copy; the extra byte takes the zero.
            int resultLength =
                RegisterNative.DLL_RegisterCallGetText(call, RegisterNative.InfoResult, null, 0);
            var result = new byte[resultLength + 1];
            RegisterNative.DLL_RegisterCallGetText(call, RegisterNative.InfoResult, result,
                                                   result.Length);
            Console.WriteLine("result: " + Quoted(result, resultLength));
            return code == RegisterNative.ResultSuccess ? 0 : 1;
        } finally {
            RegisterNative.DLL_RegisterCallDestroy(call);
        }
    }
}
