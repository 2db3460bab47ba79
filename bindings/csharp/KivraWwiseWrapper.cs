// C# binding of KivraWwiseWrapper's six C functions, for Unity (Mono or
// IL2CPP) and any .NET runtime. Copy this file into the game's scripts and the
// native library into the platform's plugin folder (see README.md, "Integration guide").
//
// Strings cross as NUL-terminated UTF-8 byte arrays, encoded here, so the
// result does not depend on the runtime's ANSI code page or on its support for
// UnmanagedType.LPUTF8Str. Channel ids are compared byte for byte: "Room1" and
// "room1" are two channels.
//
// Buffer sizes: KW_GetUidByGameObjectID copies the channel id with its NUL
// into the caller's buffer without a bound. This binding keeps every channel
// id it maps to at most MaxChannelIdBytes bytes of UTF-8 and looks up with a
// buffer of MaxChannelIdBytes + 1 bytes. If other code maps channel ids into
// the same library, it must keep to the same bound, or raise MaxChannelIdBytes
// to the longest id mapped anywhere.
//
// Threads: call these from one thread at a time (the game's main thread),
// never from Wwise's audio thread or the voice engine's callbacks.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Kivra.Wwise
{
    public static class KivraWwiseWrapper
    {
        // The runtime adds the platform's prefix and suffix: KivraWwiseWrapper.dll
        // on Windows, libKivraWwiseWrapper.so on Android and Linux,
        // KivraWwiseWrapper.bundle on macOS.
        public const string LibraryName = "KivraWwiseWrapper";

        // The longest channel id, in bytes of UTF-8, that Map accepts.
        public const int MaxChannelIdBytes = 64;

        // ---- The six functions as the library exports them (cdecl).

        // engine: the voice SDK's native IRtcEngine*. trackId: written only on
        // success (pass it initialised to tell "untouched"). logPathUtf8: the log
        // directory as NUL-terminated UTF-8, or null for no log.
        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl)]
        public static extern int KW_InitKivraWwisePlugin(IntPtr engine, ref int trackId,
                                                         byte[] logPathUtf8);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl)]
        public static extern int KW_UninitKivraWwisePlugin();

        // unsigned long long -> ulong, unsigned int -> uint.
        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl)]
        public static extern int KW_SetUidToGameObjectIDMapping(ulong gameObjectId,
                                                                byte[] channelIdUtf8, uint userId);

        // channelIdBuffer: at least (longest channel id mapped, in UTF-8 bytes) + 1
        // bytes; receives the channel id and its NUL. userId: written only when
        // found (0); on -1 both are left as they were.
        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl)]
        public static extern int KW_GetUidByGameObjectID(ulong gameObjectId,
                                                         [In, Out] byte[] channelIdBuffer,
                                                         ref uint userId);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl)]
        public static extern int KW_ClearReceiveOpenID(byte[] channelIdUtf8, uint userId);

        // sampleRate: the rate Wwise renders at (its platform settings), in Hz.
        // 0 when accepted, -1 outside 8000..96000. Before Init it applies from
        // the next Init; during a session at once (every queue restarts). Kept
        // across Uninit; never called, the bridge serves 48000 Hz.
        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl)]
        public static extern int KW_SetWwiseSampleRate(int sampleRate);

        // ---- The same with C# strings.

        // Opens the log in logDirectory (null: no log), hands Wwise's voice plugin
        // its callbacks and binds the bridge to the engine. 0: bound, trackId is
        // the id of the track that publishes the processed microphone. -1: not
        // bound, trackId is -1; call Uninit before retrying or quitting.
        public static int Init(IntPtr engine, string logDirectory, out int trackId)
        {
            int id = -1;
            int result = KW_InitKivraWwisePlugin(engine, ref id, Utf8z(logDirectory));
            trackId = result == 0 ? id : -1;
            return result;
        }

        // Unbinds, frees the bridge and every mapping, closes the log. Always 0.
        public static int Uninit()
        {
            return KW_UninitKivraWwisePlugin();
        }

        // Wwise pulls the voice of (channelId, userId) for this game object.
        // 0; -1 for a null channel id or one longer than MaxChannelIdBytes
        // (nothing mapped then).
        public static int Map(ulong gameObjectId, string channelId, uint userId)
        {
            if (channelId != null && Encoding.UTF8.GetByteCount(channelId) > MaxChannelIdBytes)
                return -1;
            return KW_SetUidToGameObjectIDMapping(gameObjectId, Utf8z(channelId), userId);
        }

        // The talker a game object is mapped to. False (channelId null, userId 0)
        // when it is not mapped.
        public static bool TryGetTalker(ulong gameObjectId, out string channelId, out uint userId)
        {
            var buffer = new byte[MaxChannelIdBytes + 1];
            uint uid = 0;
            channelId = null;
            userId = 0;
            if (KW_GetUidByGameObjectID(gameObjectId, buffer, ref uid) != 0) return false;
            int length = Array.IndexOf(buffer, (byte)0);
            channelId = Encoding.UTF8.GetString(buffer, 0, length < 0 ? buffer.Length : length);
            userId = uid;
            return true;
        }

        // Removes the mapping of (channelId, userId). 0 when one was removed, -1
        // when there was none (or for a null channel id).
        public static int Unmap(string channelId, uint userId)
        {
            return KW_ClearReceiveOpenID(Utf8z(channelId), userId);
        }

        // text as UTF-8 with a terminating NUL; null stays null.
        public static byte[] Utf8z(string text)
        {
            if (text == null) return null;
            var bytes = new byte[Encoding.UTF8.GetByteCount(text) + 1];
            Encoding.UTF8.GetBytes(text, 0, text.Length, bytes, 0);
            return bytes;
        }
    }
}
