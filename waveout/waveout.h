// The wave output device: wodMessage, the client's buffer queue and the pump
// thread that keeps the shared sample ring filled ahead of the host.
//
// The locks and what each guards:
//
//   csWaveQueue  the queue (lpQueueHead and the links of the queued buffers),
//                lpPlayData, dwPlayRemain, dwFillPos, the changes of
//                qwSamplesSent, the writes into the ring, and the setting and
//                clearing of WCF_OPEN; held while WOM_DONE is sent (by the
//                pump, a reset or a close). Taken with waveQueueEnter, left
//                with waveQueueLeave; code that needs it checks
//                waveQueueHeld() in a debug build.
//   csWaveOpen   the taking and giving back of the per-process open gate.
//
// The two are never held together, and csMidi, when held, is always taken
// before either. The words of wavePump are changed with interlocked
// operations only and guarded by none. The position query takes csWaveQueue
// for milliseconds only; in samples or bytes it reads the count through
// WaveClient.position (waveSamplesSent), so that the pump never waits for a
// client thread that was preempted inside it.
//
// The pump thread owns the named owner mutex from before the open takes the
// system-wide gate until after the close has freed it: a later opener that
// finds the gate held and the mutex free or abandoned knows that whoever holds
// the gate has gone, whether its open was still under way or not.
#pragma once

#include "kvplatform.h"

// Bits of WaveClient.dwClientFlags. Changed only with interlocked bit
// operations, so that a pause meeting a close loses neither bit.
const LONG WCF_OPEN = 1;
const LONG WCF_PAUSED = 2;
const LONG WCF_STEREO = 4;
const LONG WCF_16BIT = 8;

// qwSamplesSent as the position query reads it without csWaveQueue: its two
// halves, stored with interlocked operations by whoever changes the count
// (under csWaveQueue), between two raises of lSeq, which is odd while they
// change.
struct WavePosition {
  volatile LONG lSeq;
  volatile LONG lLow;
  volatile LONG lHigh;
};

struct WaveClient {
  DWORD dwSampleRate;
  WAVEHDR* lpQueueHead;  // FIFO linked through lpNext
  BYTE* lpPlayData;      // next byte to copy from the buffer at the head
  DWORD dwPlayRemain;
  DWORD dwFillPos;  // the driver's write position in the ring
  ULONGLONG qwSamplesSent;
  WavePosition position;  // qwSamplesSent for the position query
  volatile LONG dwClientFlags;
  BYTE bShift;  // log2 of the block size
  BYTE bSilence;
  HANDLE hPumpThread;
  DWORD dwPumpThreadId;
  HANDLE hStopEvent;
  HANDLE hGoEvent;  // the open's word to the waiting pump: play, or stop
  DWORD_PTR dwCallback;
  DWORD_PTR dwInstance;
  HWAVE hWave;
  DWORD dwOpenFlags;
};

extern WaveClient waveClient;
extern CRITICAL_SECTION csWaveQueue;

// The pump's answers to the open, in wavePump.lState.
enum WavePumpState : LONG {
  PUMP_STARTING = 0,     // the pump has not looked at the owner mutex yet
  PUMP_OWNS_MUTEX = 1,   // it owns the owner mutex and waits for the open's word
  PUMP_MUTEX_TAKEN = 2,  // a live owner, or an open under way, owns the mutex
  PUMP_TICKED = 3,       // it has made its first tick: the lead is filled
  PUMP_NO_MUTEX = 4      // the mutex could not be had at all
};

// What the pump thread and the open, reset and close tell each other.
struct WavePumpFlags {
  // Set by a close beside hStopEvent, so that a stop the event could not
  // carry still ends the pump at its next tick.
  volatile LONG lStop;
  // A WavePumpState.
  volatile LONG lState;
  // Set by the open once the host has accepted: the waiting pump starts to play.
  volatile LONG lGo;
  // Pump threads that have not yet left the module's work; a pump lowers it
  // as the last thing it does.
  volatile LONG lRunning;
  // Counts the resets, so that a tick whose callback reset the queue returns
  // no buffer that it did not use up.
  volatile LONG lResets;
  // Set by a close made on the pump thread (from the client's callback): the
  // pump finishes that close once it has left its loop.
  volatile LONG lCloseOnPump;
};
extern WavePumpFlags wavePump;

// Sets qwSamplesSent and its copy for the position query; csWaveQueue is held.
void waveSetSamplesSent(ULONGLONG qwSamples);
// The count as last set, whole, from any thread and without a lock.
ULONGLONG waveSamplesSent(void);

void waveQueueEnter(void);
void waveQueueLeave(void);
// Whether this thread holds csWaveQueue (taken with waveQueueEnter).
BOOL waveQueueHeld(void);

// The plain read of a flag word that other threads change with interlocked
// operations.
inline LONG waveFlags(void) { return InterlockedOr(&waveClient.dwClientFlags, 0); }
BOOL wavePumpStopRequested(void);
// The end of a close once the pump has ended: handles, gates, WOM_CLOSE.
void waveFinishClose(BOOL fOnPump);
// Frees the system-wide gate if this process still holds it. The pump calls it
// before it lets go of the owner mutex; the close calls it again for a pump
// that the system ended first (at process exit), and then frees the gate only
// while the channel is still this session's.
void waveReleaseSystemGate(BOOL fPumpGone);

DWORD waveDeviceInit(void);
DWORD waveDeviceShutdown(void);
void waveNotify(UINT uMessage, DWORD_PTR dwParam1, DWORD_PTR dwParam2);
// Hands a buffer back, unless it is done already: the flags are read and
// WHDR_DONE is stored with interlocked operations, since a client may poll them
// from another thread and reuse the buffer as soon as it sees it; then WOM_DONE.
void waveReturnBuffer(WAVEHDR* pHdr);
DWORD WINAPI wavePumpThread(LPVOID lpParameter);

extern "C" DWORD APIENTRY wodMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                                     DWORD_PTR dwParam2);
