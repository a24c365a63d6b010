/* Replay control of the simulated fusionTrack64: plays a tracking recording as the camera and tells how
   the replay goes. Only the simulated driver has these functions; a camera maker's driver does not, so an
   application looks them up at run time in the driver library already loaded (dlopen with RTLD_NOLOAD,
   then dlsym) instead of linking them, and refuses a replay when they are absent. */
#ifndef FTK_REPLAY_H
#define FTK_REPLAY_H

#include "ftk.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The driver library's file name, as the dynamic loader knows it once loaded. */
#define FTK_REPLAY_LIBRARY "libfusionTrack64.so"
#define FTK_REPLAY_SET_NAME "ftkReplaySet"
#define FTK_REPLAY_GET_STATE_NAME "ftkReplayGetState"

/* The size of ftkReplayState's reason, its terminating NUL included: a path of the longest kind and what
   went wrong with it fit. */
#define FTK_REPLAY_REASON_SIZE 8192

/* A recording to play. */
typedef struct ftkReplayRequest {
    /* The header of a tracking recording (.mhd or .mha); a relative path is taken from the working
       folder. */
    const char* recording;
    /* Times the recorded pace, above 0 and at most 1000; 0: every frame as soon as it is asked for. */
    double speed;
    /* The serial number the replay's device reports; 0: the simulated camera's default. */
    uint64_t serialNumber;
} ftkReplayRequest;

typedef enum ftkReplayPhase {
    FTK_REPLAY_NONE = 0, /* no replay opened since the driver was loaded or the last ftkReplaySet */
    FTK_REPLAY_PLAYING,  /* opened: frames are delivered */
    FTK_REPLAY_ENDED,    /* every recorded frame was delivered, and the end was asked for */
    FTK_REPLAY_STOPPED,  /* the recording could not be read on: the reason says why */
    FTK_REPLAY_FAILED    /* the recording could not be opened, the device has none: the reason says why */
} ftkReplayPhase;

/* How the newest replay opened goes. It stays readable after its library is closed. */
typedef struct ftkReplayState {
    ftkReplayPhase phase;
    /* The device that plays it, as ftkEnumerateDevices reports it; 0 before one is opened or when the
       recording could not be opened. */
    uint64_t serialNumber;
    ftkDeviceType deviceType;
    /* Frames handed to the caller so far, and the number the recording holds. */
    uint64_t framesDelivered;
    uint64_t frameCount;
    /* FTK_REPLAY_STOPPED and FTK_REPLAY_FAILED: why, NUL-terminated (cut to fit); empty otherwise. */
    char reason[FTK_REPLAY_REASON_SIZE];
} ftkReplayState;

/* Every library initialised from now on plays this recording instead of the simulated scene (the
   settings file named by FTK_SIMULATOR_SETTINGS is then not read); NULL: the scene again. Either way the
   state below starts again at FTK_REPLAY_NONE. Returns
   FTK_ERR_INVALID_ARGUMENT, changing nothing, for an empty path or a speed out of range. Libraries
   already open are not affected. */
typedef ftkStatus (*ftkReplaySetFunction)(const ftkReplayRequest* request);
/* Fills the state of the newest replay opened. FTK_ERR_INVALID_ARGUMENT for NULL. */
typedef ftkStatus (*ftkReplayGetStateFunction)(ftkReplayState* state);

FTK_API ftkStatus ftkReplaySet(const ftkReplayRequest* request);
FTK_API ftkStatus ftkReplayGetState(ftkReplayState* state);

#ifdef __cplusplus
}
#endif

#endif /* FTK_REPLAY_H */
