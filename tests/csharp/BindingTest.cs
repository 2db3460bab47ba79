// Drives bindings/csharp/KivraWwiseWrapper.cs against the built library and
// the stand-in SDK, as a game's C# layer would: init, Wwise's sample rate,
// map, look-up, unmap, shut down, and the refusals. The engine comes from the stand-in SDK's plain
// C face (sdk/KivraStandInC.h). Exit 0 when every check holds.
// Usage: mono BindingTest.exe LOG_DIR (the native libraries beside the .exe)
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;
using Kivra.Wwise;

static class StandIn
{
    const string Sdk = "KivraWwiseRTCSDK";
    [DllImport(Sdk, CallingConvention = CallingConvention.Cdecl)]
    public static extern IntPtr KivraStandIn_CreateEngine(int yieldMediaEngine);
    [DllImport(Sdk, CallingConvention = CallingConvention.Cdecl)]
    public static extern void KivraStandIn_DestroyEngine(IntPtr engine);
    [DllImport(Sdk, CallingConvention = CallingConvention.Cdecl)]
    public static extern int KivraStandIn_TrackCount(IntPtr engine);
    [DllImport(Sdk, CallingConvention = CallingConvention.Cdecl)]
    public static extern int KivraStandIn_ObserverRegistered(IntPtr engine);
    [DllImport(Sdk, CallingConvention = CallingConvention.Cdecl)]
    public static extern int KivraStandIn_CallbackCount();
}

static class BindingTest
{
    static int failures;

    static void Expect(bool ok, string what)
    {
        Console.WriteLine((ok ? "ok  : " : "FAIL: ") + what);
        if (!ok) failures++;
    }

    static void Lifecycle(string logDir)
    {
        Console.WriteLine("-- init, refused and accepted");
        int track;
        Expect(KivraWwiseWrapper.Init(IntPtr.Zero, logDir, out track) == -1 && track == -1,
               "null engine: -1");
        int raw = -5;
        Expect(KivraWwiseWrapper.KW_InitKivraWwisePlugin(IntPtr.Zero, ref raw,
                   KivraWwiseWrapper.Utf8z(logDir)) == -1 && raw == -5,
               "null engine: the track id argument is left untouched");
        KivraWwiseWrapper.Uninit();

        IntPtr mute = StandIn.KivraStandIn_CreateEngine(0);
        raw = -5;
        Expect(KivraWwiseWrapper.KW_InitKivraWwisePlugin(mute, ref raw,
                   KivraWwiseWrapper.Utf8z(logDir)) == -1 && raw == -5,
               "engine without a media engine: -1, track id untouched");
        Expect(StandIn.KivraStandIn_TrackCount(mute) == 0, "... and no track made");
        KivraWwiseWrapper.Uninit();
        StandIn.KivraStandIn_DestroyEngine(mute);

        IntPtr engine = StandIn.KivraStandIn_CreateEngine(1);
        Expect(KivraWwiseWrapper.Init(engine, logDir, out track) == 0, "init: 0");
        Expect(track == 1000, "init: the direct track's id as the engine made it (1000), got " + track);
        Expect(StandIn.KivraStandIn_TrackCount(engine) == 2, "two custom tracks made");
        Expect(StandIn.KivraStandIn_ObserverRegistered(engine) == 1, "the bridge observes the engine");
        Expect(StandIn.KivraStandIn_CallbackCount() == 6, "the plugin side holds six callbacks");

        SampleRateInSession(logDir);
        Mapping();

        Console.WriteLine("-- shut down");
        Expect(KivraWwiseWrapper.Uninit() == 0, "uninit: 0");
        Expect(StandIn.KivraStandIn_ObserverRegistered(engine) == 0, "the bridge let go of the engine");
        string channel;
        uint uid;
        Expect(!KivraWwiseWrapper.TryGetTalker(100, out channel, out uid), "mappings gone");
        Expect(KivraWwiseWrapper.Uninit() == 0, "uninit again: 0");
        StandIn.KivraStandIn_DestroyEngine(engine);

        string log = Path.Combine(logDir, "kivra_wwise_log.txt");
        Expect(File.Exists(log) && new FileInfo(log).Length > 0, "log written to " + log);
    }

    // The lines of the log file. The library keeps the file open for writing,
    // so it is read with sharing allowed.
    static string[] LogLines(string logDir)
    {
        string path = Path.Combine(logDir, "kivra_wwise_log.txt");
        if (!File.Exists(path)) return new string[0];
        using (var stream = new FileStream(path, FileMode.Open, FileAccess.Read,
                                           FileShare.ReadWrite | FileShare.Delete))
        using (var reader = new StreamReader(stream, Encoding.UTF8))
            return reader.ReadToEnd().Replace("\r", "").Split('\n');
    }

    // How many lines of the log end with message (the message closes a line).
    static int Logged(string logDir, string message)
    {
        int count = 0;
        foreach (string line in LogLines(logDir))
            if (line.EndsWith(message, StringComparison.Ordinal)) count++;
        return count;
    }

    static int LoggedContaining(string logDir, string part)
    {
        int count = 0;
        foreach (string line in LogLines(logDir))
            if (line.Contains(part)) count++;
        return count;
    }

    static string ServedNow(int rate)
    {
        return "wwise sample rate " + rate + " Hz, served now: queues restarted";
    }

    static string AlreadyServed(int rate)
    {
        return "wwise sample rate " + rate + " Hz, already served";
    }

    static string Refused(int rate)
    {
        return "wwise sample rate " + rate + " Hz refused: the bridge serves 8000 to 96000 Hz";
    }

    // With a session bound and its log open, no rate told before; leaves
    // 48000 Hz told and served.
    static void SampleRateInSession(string logDir)
    {
        Console.WriteLine("-- wwise sample rate during a session");
        Expect(LoggedContaining(logDir, "wwise sample rate ") == 0,
               "no sample rate line before the first call");
        Expect(KivraWwiseWrapper.KW_SetWwiseSampleRate(48000) == 0 &&
               Logged(logDir, AlreadyServed(48000)) == 1,
               "48000 with no rate told: 0, already served (the default)");

        Expect(KivraWwiseWrapper.KW_SetWwiseSampleRate(44100) == 0, "44100: 0");
        Expect(Logged(logDir, ServedNow(44100)) == 1,
               "... served now, its line in the log when the call returns");
        Expect(KivraWwiseWrapper.KW_SetWwiseSampleRate(44100) == 0 &&
               Logged(logDir, AlreadyServed(44100)) == 1 && Logged(logDir, ServedNow(44100)) == 1,
               "44100 again: 0, already served, no second restart");

        foreach (int rate in new[] { 7999, 96001, 0, -48000 })
        {
            Expect(KivraWwiseWrapper.KW_SetWwiseSampleRate(rate) == -1, rate + ": -1");
            Expect(Logged(logDir, Refused(rate)) == 1, "... one refusal line");
        }
        Expect(KivraWwiseWrapper.KW_SetWwiseSampleRate(44100) == 0 &&
               Logged(logDir, AlreadyServed(44100)) == 2, "the refusals left 44100 served");

        Expect(KivraWwiseWrapper.KW_SetWwiseSampleRate(8000) == 0 &&
               Logged(logDir, ServedNow(8000)) == 1, "8000, the lowest rate: 0, served now");
        Expect(KivraWwiseWrapper.KW_SetWwiseSampleRate(96000) == 0 &&
               Logged(logDir, ServedNow(96000)) == 1, "96000, the highest rate: 0, served now");

        Expect(KivraWwiseWrapper.KW_SetWwiseSampleRate(48000) == 0 &&
               Logged(logDir, ServedNow(48000)) == 1, "48000 back: 0, served now");
        int lines = LoggedContaining(logDir, "wwise sample rate ");
        Expect(lines == 11, "one sample rate line per call (11), found " + lines);
    }

    // A rate told before initialisation is served from it on and stays told
    // across shutdown. Runs with no session bound; leaves 48000 Hz told.
    static void SampleRateAcrossSessions(string logDir)
    {
        Console.WriteLine("-- wwise sample rate told before initialisation");
        Expect(KivraWwiseWrapper.KW_SetWwiseSampleRate(24000) == 0, "24000 before init: 0");
        Expect(KivraWwiseWrapper.KW_SetWwiseSampleRate(7999) == -1, "7999 before init: -1");
        Expect(KivraWwiseWrapper.KW_SetWwiseSampleRate(96001) == -1, "96001 before init: -1");

        IntPtr engine = StandIn.KivraStandIn_CreateEngine(1);
        int track;
        Expect(KivraWwiseWrapper.Init(engine, logDir, out track) == 0, "init: 0");
        Expect(KivraWwiseWrapper.KW_SetWwiseSampleRate(24000) == 0 &&
               Logged(logDir, AlreadyServed(24000)) == 1 && Logged(logDir, ServedNow(24000)) == 0,
               "the session serves 24000 from its start (the refusals before it changed nothing)");
        Expect(KivraWwiseWrapper.Uninit() == 0, "uninit: 0");

        Expect(KivraWwiseWrapper.Init(engine, logDir, out track) == 0, "init again: 0");
        Expect(KivraWwiseWrapper.KW_SetWwiseSampleRate(24000) == 0 &&
               Logged(logDir, AlreadyServed(24000)) == 1,
               "24000 stayed told across the shutdown");
        Expect(KivraWwiseWrapper.KW_SetWwiseSampleRate(48000) == 0 &&
               Logged(logDir, ServedNow(48000)) == 1, "48000 back: 0, served now");
        Expect(KivraWwiseWrapper.Uninit() == 0, "uninit: 0");
        StandIn.KivraStandIn_DestroyEngine(engine);
    }

    static void Mapping()
    {
        Console.WriteLine("-- map, look up, unmap");
        string channel;
        uint uid;
        Expect(KivraWwiseWrapper.Map(100, "room1", 42) == 0, "map 100 -> room1/42");
        Expect(KivraWwiseWrapper.TryGetTalker(100, out channel, out uid) && channel == "room1" &&
               uid == 42, "look up 100: room1/42");

        // The full width of both ids: a 32-bit game object id or a signed uid
        // in the declarations would lose them.
        const ulong bigObject = 0xFFFFFFFFFFFFFFFEUL;
        const uint bigUid = 4294967295U;
        Expect(KivraWwiseWrapper.Map(bigObject, "room1", bigUid) == 0, "map the largest ids");
        Expect(KivraWwiseWrapper.TryGetTalker(bigObject, out channel, out uid) && uid == bigUid,
               "look up the largest ids: uid " + uid);
        Expect(!KivraWwiseWrapper.TryGetTalker(bigObject & 0xFFFFFFFFUL, out channel, out uid),
               "the game object's low 32 bits alone are another object");

        string accented = "salle-\u00e9t\u00e9-\u4e00";
        Expect(KivraWwiseWrapper.Map(101, accented, 7) == 0, "map a non-ASCII channel id");
        Expect(KivraWwiseWrapper.TryGetTalker(101, out channel, out uid) && channel == accented,
               "non-ASCII channel id comes back as UTF-8: " + channel);
        Expect(KivraWwiseWrapper.Unmap("SALLE-\u00c9T\u00c9-\u4e00", 7) == -1,
               "channel ids are compared exactly (case matters)");

        string longest = new string('a', KivraWwiseWrapper.MaxChannelIdBytes);
        Expect(KivraWwiseWrapper.Map(102, longest, 8) == 0, "map a channel id of the largest size");
        Expect(KivraWwiseWrapper.TryGetTalker(102, out channel, out uid) && channel == longest,
               "it comes back whole");
        Expect(KivraWwiseWrapper.Map(103, longest + "b", 9) == -1 &&
               !KivraWwiseWrapper.TryGetTalker(103, out channel, out uid),
               "a longer one is refused before it reaches the library");

        Console.WriteLine("-- refusals");
        Expect(KivraWwiseWrapper.Map(104, null, 9) == -1, "map with a null channel id: -1");
        Expect(!KivraWwiseWrapper.TryGetTalker(104, out channel, out uid), "... nothing mapped");
        uint untouched = 77;
        var buffer = Encoding.ASCII.GetBytes("xxxx");
        Expect(KivraWwiseWrapper.KW_GetUidByGameObjectID(999, buffer, ref untouched) == -1 &&
               untouched == 77 && Encoding.ASCII.GetString(buffer) == "xxxx",
               "look up an unmapped object: -1, buffer and uid untouched");
        Expect(KivraWwiseWrapper.KW_GetUidByGameObjectID(100, null, ref untouched) == -1 &&
               untouched == 77, "look up with a null buffer: -1, uid untouched");
        Expect(KivraWwiseWrapper.Unmap(null, 42) == -1, "unmap a null channel id: -1");
        Expect(KivraWwiseWrapper.TryGetTalker(100, out channel, out uid), "... 100 still mapped");

        Expect(KivraWwiseWrapper.Unmap("room1", 42) == 0, "unmap room1/42: 0");
        Expect(KivraWwiseWrapper.Unmap("room1", 42) == -1, "unmap it again: -1");
        Expect(!KivraWwiseWrapper.TryGetTalker(100, out channel, out uid), "100 is no longer mapped");
    }

    static int Main(string[] args)
    {
        string logDir = args.Length > 0 ? args[0] : Path.GetTempPath();
        Directory.CreateDirectory(logDir);
        Expect(StandIn.KivraStandIn_CallbackCount() == 0, "no callbacks before the first init");
        Lifecycle(logDir);
        SampleRateAcrossSessions(logDir);
        Console.WriteLine(failures == 0 ? "C# binding: all checks passed"
                                        : "C# binding: " + failures + " check(s) FAILED");
        return failures == 0 ? 0 : 1;
    }
}
