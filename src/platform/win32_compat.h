// The subset of the Windows API that wavtap uses, declared for systems that are not Windows.
//
// Names, signatures, constants and semantics follow the Windows SDK, so the subsystems are one
// source for every system. The posix/ files implement these calls; the wave-input service gets
// its audio from one source backend (ALSA in the program, a simulated device in test builds).
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef uintptr_t DWORD_PTR;
typedef char* LPSTR;
typedef void* HANDLE;
typedef const char* LPCSTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* ---- console control ------------------------------------------------------------------ */

#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2
#define CTRL_LOGOFF_EVENT 5
#define CTRL_SHUTDOWN_EVENT 6

typedef BOOL(WINAPI* PHANDLER_ROUTINE)(DWORD ctrl_type);

/* Adds a handler (add TRUE; removal and the null handler are refused). Handlers run newest
   first on a thread of their own; one that returns TRUE ends the event, FALSE passes it on, and
   the last word is the default action (the process ends). SIGINT is CTRL_C_EVENT, SIGQUIT
   CTRL_BREAK_EVENT, SIGHUP CTRL_CLOSE_EVENT and SIGTERM CTRL_SHUTDOWN_EVENT. */
BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

/* ---- kernel events -------------------------------------------------------------------- */

typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                           LPCSTR name);
BOOL WINAPI SetEvent(HANDLE event);
BOOL WINAPI ResetEvent(HANDLE event);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI CloseHandle(HANDLE handle);

/* ---- multimedia wave input ------------------------------------------------------------ */

typedef UINT MMRESULT;
typedef struct HWAVEIN__* HWAVEIN;
typedef HWAVEIN* LPHWAVEIN;

#pragma pack(push, 1)
typedef struct tWAVEFORMATEX {
    WORD wFormatTag;       /* WAVE_FORMAT_PCM */
    WORD nChannels;        /* samples a frame */
    DWORD nSamplesPerSec;  /* sample frames per second */
    DWORD nAvgBytesPerSec; /* nBlockAlign * nSamplesPerSec */
    WORD nBlockAlign;      /* bytes per sample frame */
    WORD wBitsPerSample;   /* bits a sample */
    WORD cbSize;           /* extra format bytes: 0 for PCM, 22 for WAVE_FORMAT_EXTENSIBLE */
} WAVEFORMATEX, *LPWAVEFORMATEX;
#pragma pack(pop)
typedef const WAVEFORMATEX* LPCWAVEFORMATEX;

typedef struct _GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID;

/* The format for more than 2 channels or more than 16 bits: a WAVEFORMATEX with wFormatTag
   WAVE_FORMAT_EXTENSIBLE and cbSize 22, then these fields. */
#pragma pack(push, 1)
typedef struct {
    WAVEFORMATEX Format; /* the common fields */
    union {
        WORD wValidBitsPerSample; /* bits of each container that hold the sample */
        WORD wSamplesPerBlock;    /* compressed formats only */
        WORD wReserved;
    } Samples;
    DWORD dwChannelMask; /* SPEAKER_* bits, one per channel, in channel order */
    GUID SubFormat;      /* KSDATAFORMAT_SUBTYPE_PCM or _IEEE_FLOAT */
} WAVEFORMATEXTENSIBLE, *PWAVEFORMATEXTENSIBLE;
#pragma pack(pop)

typedef struct wavehdr_tag {
    LPSTR lpData;               /* the caller's audio bytes */
    DWORD dwBufferLength;       /* length of lpData */
    DWORD dwBytesRecorded;      /* bytes filled when the buffer came back */
    DWORD_PTR dwUser;           /* the caller's */
    DWORD dwFlags;              /* WHDR_* */
    DWORD dwLoops;              /* unused for input */
    struct wavehdr_tag* lpNext; /* the driver's */
    DWORD_PTR reserved;         /* the driver's */
} WAVEHDR, *LPWAVEHDR;

#define WAVE_FORMAT_PCM 1
#define WAVE_FORMAT_IEEE_FLOAT 3
#define WAVE_FORMAT_EXTENSIBLE 0xFFFE

#define SPEAKER_FRONT_LEFT 0x1u
#define SPEAKER_FRONT_RIGHT 0x2u
#define SPEAKER_FRONT_CENTER 0x4u
#define SPEAKER_LOW_FREQUENCY 0x8u
#define SPEAKER_BACK_LEFT 0x10u
#define SPEAKER_BACK_RIGHT 0x20u
#define SPEAKER_BACK_CENTER 0x100u
#define SPEAKER_SIDE_LEFT 0x200u
#define SPEAKER_SIDE_RIGHT 0x400u
#define WAVE_MAPPER ((UINT)-1)
#define CALLBACK_FUNCTION 0x00030000u

#define WIM_DATA 0x3C0

#define WHDR_DONE 0x00000001u
#define WHDR_PREPARED 0x00000002u
#define WHDR_INQUEUE 0x00000010u

#define MMSYSERR_NOERROR 0
#define MMSYSERR_ERROR 1
#define MMSYSERR_BADDEVICEID 2
#define MMSYSERR_ALLOCATED 4
#define MMSYSERR_INVALHANDLE 5
#define MMSYSERR_NODRIVER 6
#define MMSYSERR_NOMEM 7
#define MMSYSERR_BADERRNUM 9
#define MMSYSERR_INVALFLAG 10
#define MMSYSERR_INVALPARAM 11
#define MMSYSERR_HANDLEBUSY 12
#define MMSYSERR_LASTERROR 21
#define WAVERR_BADFORMAT 32
#define WAVERR_STILLPLAYING 33
#define WAVERR_UNPREPARED 34

/* The device callback: hwi, message (WIM_*), the dwInstance given to waveInOpen, and for
   WIM_DATA the finished WAVEHDR in param1. Runs on the device's thread, never with a lock of the
   service held. */
typedef void(CALLBACK* LPWAVEINPROC)(HWAVEIN hwi, UINT message, DWORD_PTR instance,
                                     DWORD_PTR param1, DWORD_PTR param2);

MMRESULT WINAPI waveInOpen(LPHWAVEIN device, UINT device_id, LPCWAVEFORMATEX format,
                           DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
MMRESULT WINAPI waveInClose(HWAVEIN device);
MMRESULT WINAPI waveInPrepareHeader(HWAVEIN device, LPWAVEHDR header, UINT header_size);
MMRESULT WINAPI waveInUnprepareHeader(HWAVEIN device, LPWAVEHDR header, UINT header_size);
MMRESULT WINAPI waveInAddBuffer(HWAVEIN device, LPWAVEHDR header, UINT header_size);
MMRESULT WINAPI waveInStart(HWAVEIN device);
MMRESULT WINAPI waveInStop(HWAVEIN device);
MMRESULT WINAPI waveInReset(HWAVEIN device);
MMRESULT WINAPI waveInGetErrorTextA(MMRESULT result, LPSTR text, UINT text_size);
UINT WINAPI waveInGetNumDevs(void);
