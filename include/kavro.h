/* kavro: client library for IP cameras (live video, sound, recording, replay, control, talk).
 *
 * Every per-client function takes the handle returned by KAVRO_ClientStart or KAVRO_OpenFile.
 * A handle of 0, or one that was already closed, is ignored: the call fails with its usual
 * failure result and has no effect. Results of type KAVRO_BOOL are 1 for success, 0 for failure.
 * See docs/guide.md for the user guide and docs/reference.md for the reference of every function.
 */
#ifndef KAVRO_H
#define KAVRO_H

#include <stdint.h>

#if defined(KAVRO_BUILDING_LIBRARY)
#define KAVRO_API __attribute__((visibility("default")))
#else
#define KAVRO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t KAVRO_HANDLE; /* opaque client handle, 0 = none */
typedef int32_t KAVRO_BOOL;    /* 1 success, 0 failure */
/* Host callback, run on the library's dispatcher thread (docs/guide.md#notifications). */
typedef int32_t (*KAVRO_NOTIFY)(uint32_t handle, int32_t code, int32_t argument, int32_t userValue);

/* Filled in by the host and passed to KAVRO_ClientStart; 300 bytes, fixed layout
 * (docs/reference.md#clients). */
typedef struct KAVRO_CLIENT_RECORD {
    uint16_t transport;    /*   0: 0 RTP over UDP, 1 RTP interleaved on the RTSP connection */
    uint16_t viewOn;       /*   2: 1 decode and show video */
    uint8_t channel;       /*   4: stream number on the camera */
    uint8_t reserved1[3];  /*   5 */
    uint32_t videoWnd;     /*   8: X11 window id the video is drawn into, 0 = none */
    uint32_t notifyWnd;    /*  12: X11 window id for notifications when no callback is set */
    uint32_t notifyMsg;    /*  16: X11 atom used as the ClientMessage type */
    uint8_t reserved2[16]; /*  20 */
    int32_t userData;      /*  36: passed back with every callback notification */
    char address[161];     /*  40: host[:port][/path] */
    char userName[33];     /* 201 */
    char password[66];     /* 234 */
} KAVRO_CLIENT_RECORD;

#if defined(__cplusplus) && __cplusplus >= 201103L
static_assert(sizeof(KAVRO_CLIENT_RECORD) == 300, "KAVRO_CLIENT_RECORD must be 300 bytes");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(KAVRO_CLIENT_RECORD) == 300, "KAVRO_CLIENT_RECORD must be 300 bytes");
#endif

/* Library start-up, settings, state (docs/reference.md#library) */
KAVRO_API KAVRO_BOOL KAVRO_Startup(int32_t a, int32_t b, KAVRO_NOTIFY callback, int32_t d);
KAVRO_API void KAVRO_Cleanup(void);
KAVRO_API KAVRO_BOOL KAVRO_SetWaitTime(int32_t connectTimeoutSec, int32_t retryCount,
                                       int32_t retryIntervalSec);
KAVRO_API void KAVRO_Log(const char *format, ...);
KAVRO_API int32_t KAVRO_GetClientState(KAVRO_HANDLE h);

/* Open and close clients (docs/reference.md#clients) */
KAVRO_API KAVRO_HANDLE KAVRO_ClientStart(const KAVRO_CLIENT_RECORD *record);
KAVRO_API KAVRO_BOOL KAVRO_ClientStop(KAVRO_HANDLE h);
KAVRO_API KAVRO_BOOL KAVRO_CloseFile(KAVRO_HANDLE h);
KAVRO_API KAVRO_HANDLE KAVRO_OpenFile(const char *path, uint32_t videoWnd, int32_t startPaused);

/* View, window and picture (docs/reference.md#view) */
KAVRO_API KAVRO_BOOL KAVRO_ClientStartView(KAVRO_HANDLE h);
KAVRO_API KAVRO_BOOL KAVRO_ClientStopView(KAVRO_HANDLE h);
KAVRO_API KAVRO_BOOL KAVRO_ClientSetWnd(KAVRO_HANDLE h, uint32_t wnd);
KAVRO_API KAVRO_BOOL KAVRO_ClientRefreshWnd(KAVRO_HANDLE h);
KAVRO_API KAVRO_BOOL KAVRO_ClientShowcallback(int32_t a, int32_t b, int32_t c);
KAVRO_API KAVRO_HANDLE KAVRO_ClientVerticalFlip(KAVRO_HANDLE h, int32_t flag);
KAVRO_API KAVRO_HANDLE KAVRO_ClientRotate180(KAVRO_HANDLE h, int32_t flag);
KAVRO_API KAVRO_BOOL KAVRO_ClientShowMDRegion(KAVRO_HANDLE h, int32_t value);
KAVRO_API KAVRO_BOOL KAVRO_ClientCapturePicture(KAVRO_HANDLE h, const char *path);
KAVRO_API KAVRO_BOOL KAVRO_GetBitStreamInfo(KAVRO_HANDLE h, int32_t *kbps, int32_t *fps);

/* Sound and talk (docs/reference.md#audio) */
KAVRO_API KAVRO_BOOL KAVRO_ClientPlayAudio(KAVRO_HANDLE h);
KAVRO_API KAVRO_BOOL KAVRO_ClientStopAudio(KAVRO_HANDLE h);
KAVRO_API KAVRO_BOOL KAVRO_ClientStartTalk(KAVRO_HANDLE h);
KAVRO_API void KAVRO_ClientStopTalk(KAVRO_HANDLE h);

/* Recording (docs/reference.md#recording) */
KAVRO_API KAVRO_BOOL KAVRO_ClientStartRecord(KAVRO_HANDLE h, const char *path, int32_t seconds);
KAVRO_API KAVRO_BOOL KAVRO_ClientStopRecord(KAVRO_HANDLE h);
KAVRO_API KAVRO_BOOL KAVRO_ClientStartAlarmRecord(KAVRO_HANDLE h, const char *path, int32_t seconds);
KAVRO_API KAVRO_BOOL KAVRO_ClientStopAlarmRecord(KAVRO_HANDLE h);

/* Camera control (docs/reference.md#control) */
KAVRO_API KAVRO_BOOL KAVRO_ClientPTZCtrl(KAVRO_HANDLE h, int32_t a, int32_t b);
KAVRO_API KAVRO_BOOL KAVRO_ClientSetVideoParam(KAVRO_HANDLE h, int32_t x, int32_t y, int32_t z);
KAVRO_API KAVRO_BOOL KAVRO_ClientGetVideoParam(KAVRO_HANDLE h, uint8_t *x, uint8_t *y, uint8_t *z);
KAVRO_API KAVRO_BOOL KAVRO_ClientGetMDInfo(KAVRO_HANDLE h, void *table272);
KAVRO_API KAVRO_BOOL KAVRO_ClientSaveMDInfo(KAVRO_HANDLE h, const void *table272);
KAVRO_API KAVRO_BOOL KAVRO_ClientStartMD(KAVRO_HANDLE h);
KAVRO_API KAVRO_BOOL KAVRO_ClientStopMD(KAVRO_HANDLE h);
KAVRO_API KAVRO_BOOL KAVRO_ClientStopAlarm(KAVRO_HANDLE h, int32_t alarmValue);

/* Replay of recorded files (docs/reference.md#replay) */
KAVRO_API KAVRO_BOOL KAVRO_ReplayPause(KAVRO_HANDLE h);
KAVRO_API KAVRO_BOOL KAVRO_ReplayContinue(KAVRO_HANDLE h);
KAVRO_API KAVRO_BOOL KAVRO_ReplayStepByStep(KAVRO_HANDLE h);
KAVRO_API KAVRO_BOOL KAVRO_SpeedFast(KAVRO_HANDLE h);
KAVRO_API KAVRO_BOOL KAVRO_SpeedNormal(KAVRO_HANDLE h);
KAVRO_API KAVRO_BOOL KAVRO_SpeedSlow(KAVRO_HANDLE h);
KAVRO_API uint32_t KAVRO_ReplayTotalTime(KAVRO_HANDLE h);
KAVRO_API uint32_t KAVRO_ReplayCurTime(KAVRO_HANDLE h);
KAVRO_API KAVRO_BOOL KAVRO_ReplaySeek(KAVRO_HANDLE h, uint32_t seconds);

#ifdef __cplusplus
}
#endif

#endif /* KAVRO_H */
