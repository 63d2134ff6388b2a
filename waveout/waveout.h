// The wave output device: wodMessage, the client's buffer queue and the pump
// thread that keeps the shared sample ring filled ahead of the host.
//
// Locks: csWaveQueue guards the queue, the play position, dwFillPos,
// qwSamplesSent and the writes into the ring; csWaveOpen guards the taking and
// giving back of the per-process open gate. The two are never held together,
// and csMidi, when held, is always taken before either.
#pragma once

#include "kvplatform.h"

// Bits of WaveClient.dwClientFlags. Changed only with interlocked bit
// operations, so that a pause meeting a close loses neither bit.
const LONG WCF_OPEN = 1;
const LONG WCF_PAUSED = 2;
const LONG WCF_STEREO = 4;
const LONG WCF_16BIT = 8;

struct WaveClient {
  DWORD dwSampleRate;
  WAVEHDR* lpQueueHead;  // FIFO linked through lpNext
  BYTE* lpPlayData;      // next byte to copy from the buffer at the head
  DWORD dwPlayRemain;
  DWORD dwFillPos;  // the driver's write position in the ring
  ULONGLONG qwSamplesSent;
  volatile LONG dwClientFlags;
  BYTE bShift;  // log2 of the block size
  BYTE bSilence;
  HANDLE hPumpThread;
  DWORD dwPumpThreadId;
  HANDLE hStopEvent;
  DWORD_PTR dwCallback;
  DWORD_PTR dwInstance;
  HWAVE hWave;
  DWORD dwOpenFlags;
};

extern WaveClient waveClient;
extern CRITICAL_SECTION csWaveQueue;

DWORD waveDeviceInit(void);
DWORD waveDeviceShutdown(void);
void waveNotify(UINT uMessage, DWORD_PTR dwParam1, DWORD_PTR dwParam2);
DWORD WINAPI wavePumpThread(LPVOID lpParameter);

extern "C" DWORD APIENTRY wodMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                                     DWORD_PTR dwParam2);
