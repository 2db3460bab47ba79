#!/usr/bin/env python3
"""Drives libKivraWwiseWrapper's five exported functions through ctypes, as a
game's script layer binds them, to prove the C ABI: argument and result
types, strings as UTF-8 bytes, the caller's out buffer and out integers.

Usage: test_c_api.py WRAPPER_LIBRARY ENGINE_HELPER_LIBRARY SCRATCH_DIR
"""
import ctypes
import os
import sys
import tempfile
import unittest

WRAPPER, HELPER, SCRATCH = sys.argv[1:4]
del sys.argv[1:4]

# The helper links the stand-in SDK; the wrapper then finds the same SDK
# already loaded, so both talk to one callback table.
helper = ctypes.CDLL(HELPER)
lib = ctypes.CDLL(WRAPPER)

c_int_p = ctypes.POINTER(ctypes.c_int)
c_uint_p = ctypes.POINTER(ctypes.c_uint)
lib.KW_InitKivraWwisePlugin.argtypes = [ctypes.c_void_p, c_int_p, ctypes.c_char_p]
lib.KW_InitKivraWwisePlugin.restype = ctypes.c_int
lib.KW_UninitKivraWwisePlugin.argtypes = []
lib.KW_UninitKivraWwisePlugin.restype = ctypes.c_int
lib.KW_SetUidToGameObjectIDMapping.argtypes = [ctypes.c_ulonglong, ctypes.c_char_p, ctypes.c_uint]
lib.KW_SetUidToGameObjectIDMapping.restype = ctypes.c_int
# The out buffer as a raw pointer so a ctypes string buffer can be passed.
lib.KW_GetUidByGameObjectID.argtypes = [ctypes.c_ulonglong, ctypes.c_void_p, c_uint_p]
lib.KW_GetUidByGameObjectID.restype = ctypes.c_int
lib.KW_ClearReceiveOpenID.argtypes = [ctypes.c_char_p, ctypes.c_uint]
lib.KW_ClearReceiveOpenID.restype = ctypes.c_int
lib.KW_SetWwiseSampleRate.argtypes = [ctypes.c_int]
lib.KW_SetWwiseSampleRate.restype = ctypes.c_int

helper.kivra_py_engine_create.argtypes = [ctypes.c_int]
helper.kivra_py_engine_create.restype = ctypes.c_void_p
helper.kivra_py_engine_destroy.argtypes = [ctypes.c_void_p]
for name in ("observer_registered", "track_count"):
    fn = getattr(helper, "kivra_py_engine_" + name)
    fn.argtypes = [ctypes.c_void_p]
    fn.restype = ctypes.c_int
for name in ("track_id", "track_type"):
    fn = getattr(helper, "kivra_py_engine_" + name)
    fn.argtypes = [ctypes.c_void_p, ctypes.c_int]
    fn.restype = ctypes.c_int
helper.kivra_py_setter_calls.restype = ctypes.c_int

AUDIO_TRACK_DIRECT = 1
AUDIO_TRACK_EXTERNAL_AEC_REFERENCE = 3


def log_messages(directory):
    """Messages of the log file in directory (thread id and time stamp cut)."""
    for name in os.listdir(directory):
        if name.endswith("kivra_wwise_log.txt"):
            with open(os.path.join(directory, name), encoding="utf-8", errors="replace") as f:
                # "<thread id> YYYY-MM-DD hh:mm:ss:mmm <message>"
                return [line.rstrip("\r\n").split(" ", 3)[3] for line in f if line.strip()]
    return None


class CApi(unittest.TestCase):
    def setUp(self):
        os.makedirs(SCRATCH, exist_ok=True)
        self.dir = tempfile.mkdtemp(dir=SCRATCH)
        helper.kivra_py_reset_callbacks()
        self.assertEqual(lib.KW_UninitKivraWwisePlugin(), 0)

    def tearDown(self):
        lib.KW_UninitKivraWwisePlugin()

    def lookup(self, game_object, size):
        buf = ctypes.create_string_buffer(b"?" * (size - 1), size)
        uid = ctypes.c_uint(12345)
        r = lib.KW_GetUidByGameObjectID(game_object, buf, ctypes.byref(uid))
        return r, buf.raw, uid.value

    def test_null_engine_is_refused_with_the_log_open(self):
        track = ctypes.c_int(-7)
        r = lib.KW_InitKivraWwisePlugin(None, ctypes.byref(track), self.dir.encode())
        self.assertEqual(r, -1)
        self.assertEqual(track.value, -7)
        self.assertEqual(log_messages(self.dir)[-1], "init refused: null rtc engine!")
        self.assertEqual(helper.kivra_py_setter_calls(), 6)

    def test_map_look_up_clear(self):
        channel = "räum-1".encode("utf-8")
        self.assertEqual(lib.KW_SetUidToGameObjectIDMapping(2**64 - 1, channel, 2**32 - 1), 0)
        r, raw, uid = self.lookup(2**64 - 1, len(channel) + 1)
        self.assertEqual(r, 0)
        self.assertEqual(raw, channel + b"\0")
        self.assertEqual(uid, 2**32 - 1)

        r, raw, uid = self.lookup(5, 4)
        self.assertEqual((r, raw, uid), (-1, b"???\0", 12345))

        self.assertEqual(lib.KW_ClearReceiveOpenID(channel, 2**32 - 1), 0)
        self.assertEqual(lib.KW_ClearReceiveOpenID(channel, 2**32 - 1), -1)
        self.assertEqual(self.lookup(2**64 - 1, 16)[0], -1)

    def test_null_arguments_change_nothing(self):
        self.assertEqual(lib.KW_SetUidToGameObjectIDMapping(3, b"room", 9), 0)
        self.assertEqual(lib.KW_SetUidToGameObjectIDMapping(4, None, 9), -1)
        uid = ctypes.c_uint(1)
        self.assertEqual(lib.KW_GetUidByGameObjectID(3, None, ctypes.byref(uid)), -1)
        self.assertEqual(uid.value, 1)
        buf = ctypes.create_string_buffer(8)
        self.assertEqual(lib.KW_GetUidByGameObjectID(3, buf, None), -1)
        self.assertEqual(lib.KW_ClearReceiveOpenID(None, 9), -1)
        self.assertEqual(self.lookup(3, 5)[:2], (0, b"room\0"))
        self.assertEqual(self.lookup(4, 5)[0], -1)

    def test_full_session_with_an_engine(self):
        engine = helper.kivra_py_engine_create(0)
        try:
            track = ctypes.c_int(-7)
            r = lib.KW_InitKivraWwisePlugin(engine, ctypes.byref(track), self.dir.encode())
            self.assertEqual(r, 0)
            self.assertEqual(helper.kivra_py_engine_observer_registered(engine), 1)
            self.assertEqual(helper.kivra_py_engine_track_count(engine), 2)
            self.assertEqual(track.value, helper.kivra_py_engine_track_id(engine, 0))
            self.assertEqual(helper.kivra_py_engine_track_type(engine, 0), AUDIO_TRACK_DIRECT)
            self.assertEqual(helper.kivra_py_engine_track_type(engine, 1),
                             AUDIO_TRACK_EXTERNAL_AEC_REFERENCE)
            self.assertEqual(helper.kivra_py_setter_calls(), 6)
            self.assertEqual(lib.KW_SetUidToGameObjectIDMapping(11, b"room", 42), 0)
            self.assertEqual(self.lookup(11, 5), (0, b"room\0", 42))
            self.assertEqual(lib.KW_UninitKivraWwisePlugin(), 0)
            self.assertEqual(helper.kivra_py_engine_observer_registered(engine), 0)
            self.assertEqual(self.lookup(11, 5)[0], -1)
            messages = log_messages(self.dir)
            self.assertIn("direct advanced track id %d, aec reference track id %d"
                          % (track.value, track.value + 1), messages)
            self.assertIn("register gameObjectId map, game id (11) -> uid (42)", messages)
            self.assertTrue(messages[-1].startswith("destroy wrapper "))
            self.assertTrue(messages[-1].endswith(" out"))
        finally:
            lib.KW_UninitKivraWwisePlugin()
            helper.kivra_py_engine_destroy(engine)

    def test_wwise_sample_rate_is_kept_for_the_next_session(self):
        engine = helper.kivra_py_engine_create(0)
        try:
            for bad in (0, -1, 7999, 96001, 2**31 - 1):
                self.assertEqual(lib.KW_SetWwiseSampleRate(bad), -1, bad)
            self.assertEqual(lib.KW_SetWwiseSampleRate(32000), 0)
            track = ctypes.c_int(-7)
            r = lib.KW_InitKivraWwisePlugin(engine, ctypes.byref(track), self.dir.encode())
            self.assertEqual(r, 0)
            self.assertIn("wwise sample rate 32000 Hz, served from this init",
                          log_messages(self.dir))
            self.assertEqual(lib.KW_SetWwiseSampleRate(32000), 0)
            self.assertEqual(lib.KW_SetWwiseSampleRate(16000), 0)
            messages = log_messages(self.dir)
            self.assertEqual(messages[-2:], ["wwise sample rate 32000 Hz, already served",
                                             "wwise sample rate 16000 Hz, served now: queues "
                                             "restarted"])
        finally:
            lib.KW_UninitKivraWwisePlugin()
            lib.KW_SetWwiseSampleRate(48000)
            helper.kivra_py_engine_destroy(engine)

    def test_engine_without_media_engine(self):
        engine = helper.kivra_py_engine_create(-1)
        try:
            track = ctypes.c_int(-7)
            r = lib.KW_InitKivraWwisePlugin(engine, ctypes.byref(track), self.dir.encode())
            self.assertEqual(r, -1)
            self.assertEqual(track.value, -7)
            self.assertEqual(log_messages(self.dir)[-1], "create wrapper failed!")
            self.assertEqual(helper.kivra_py_setter_calls(), 6)
            self.assertEqual(helper.kivra_py_engine_track_count(engine), 0)
        finally:
            lib.KW_UninitKivraWwisePlugin()
            helper.kivra_py_engine_destroy(engine)


if __name__ == "__main__":
    unittest.main(verbosity=2)
