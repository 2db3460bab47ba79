/* KivraWwiseWrapper: the six functions a game calls. Plain C, unmangled,
 * the platform's default calling convention. See docs/C-API.md. */
#ifndef KIVRA_WWISE_WRAPPER_H
#define KIVRA_WWISE_WRAPPER_H

#include "KivraWwiseWrapperExport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the log in logPath, hands the plugin side its callbacks and binds the
 * bridge to the RTC engine. 0 on success (the direct track's id is written to
 * *OutDefaultCustomAudioTrackId), -1 on failure (*OutDefaultCustomAudioTrackId
 * untouched). A null engine or a null OutDefaultCustomAudioTrackId is refused
 * with -1; a null logPath opens no log and the rest proceeds. */
KW_API int KW_InitKivraWwisePlugin(void* KivraRtcEngineInstance, int* OutDefaultCustomAudioTrackId,
                                   const char* logPath);

/* Unbinds, destroys the bridge, empties the game-object registry, closes the
 * log. Always 0. */
KW_API int KW_UninitKivraWwisePlugin(void);

/* Tells the bridge the sample rate Wwise renders at. 0 when accepted, -1 (and a
 * log line) for a rate outside 8000..96000 Hz. Called before
 * KW_InitKivraWwisePlugin it applies from that initialisation on; during a
 * session it applies at once: every queue restarts and the engine is asked for
 * frames at the new rate (one log line). The rate stays told across
 * KW_UninitKivraWwisePlugin; without any call the bridge serves 48000 Hz. */
KW_API int KW_SetWwiseSampleRate(int sampleRate);

/* Maps a Wwise game object to a remote talker (channel id, uid). 0; -1 (and
 * nothing changed) for a null channelID. */
KW_API int KW_SetUidToGameObjectIDMapping(const unsigned long long gameObjectID,
                                          const char* channelID, unsigned int userID);

/* Looks a game object up. 0 when found (channel id copied with its NUL into
 * channelID, which must hold the longest channel id registered plus the NUL,
 * and the uid into *userID), -1 when not found or when channelID or userID is
 * null (both left untouched). */
KW_API int KW_GetUidByGameObjectID(const unsigned long long gameObjectID, char* channelID,
                                   unsigned int* userID);

/* Removes the mapping of a remote talker. 0 when removed, -1 otherwise (also
 * for a null channelID, which changes nothing). */
KW_API int KW_ClearReceiveOpenID(const char* channelID, const unsigned int userID);

#ifdef __cplusplus
}
#endif

#endif /* KIVRA_WWISE_WRAPPER_H */
