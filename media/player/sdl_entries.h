// Every SDL entry point the player calls. The player was first written for an
// older SDL generation; each row notes the call it stands for where the name
// changed (docs/decisions.md lists the whole mapping). All rows are required:
// a library lacking one of them is refused.
#pragma once

// clang-format off
#define TAVRIN_SDL_ENTRIES(X) \
    X(SDL_GetVersion)            /* linked version */ \
    X(SDL_Init) \
    X(SDL_Quit) \
    X(SDL_getenv) \
    X(SDL_setenv)                /* putenv */ \
    X(SDL_GetError) \
    X(SDL_OpenAudio) \
    X(SDL_PauseAudio) \
    X(SDL_CloseAudio) \
    X(SDL_MixAudioFormat)        /* mix audio */ \
    X(SDL_LockAudio) \
    X(SDL_UnlockAudio) \
    X(SDL_PumpEvents) \
    X(SDL_PeepEvents) \
    X(SDL_PushEvent) \
    X(SDL_EventState) \
    X(SDL_RegisterEvents) \
    X(SDL_GetDesktopDisplayMode) /* video info */ \
    X(SDL_CreateWindow)          /* set video mode: own window */ \
    X(SDL_CreateWindowFrom)      /* set video mode: host window */ \
    X(SDL_SetWindowSize) \
    X(SDL_ShowWindow) \
    X(SDL_GetWindowSize) \
    X(SDL_DestroyWindow) \
    X(SDL_CreateRenderer) \
    X(SDL_DestroyRenderer) \
    X(SDL_GetRendererOutputSize) \
    X(SDL_RenderPresent)         /* update rect */ \
    X(SDL_SetWindowTitle)        /* window caption */ \
    X(SDL_SetRenderDrawColor)    /* map RGB */ \
    X(SDL_RenderFillRect)        /* fill rect */ \
    X(SDL_RenderClear) \
    X(SDL_RenderDrawLine) \
    X(SDL_CreateTexture)         /* create YUV overlay */ \
    X(SDL_UpdateYUVTexture)      /* lock, copy, unlock YUV overlay */ \
    X(SDL_RenderCopy)            /* display YUV overlay */ \
    X(SDL_DestroyTexture)        /* free YUV overlay */ \
    X(SDL_CreateMutex) \
    X(SDL_LockMutex)             /* mutexP */ \
    X(SDL_UnlockMutex)           /* mutexV */ \
    X(SDL_DestroyMutex) \
    X(SDL_CreateCond) \
    X(SDL_DestroyCond) \
    X(SDL_CondSignal) \
    X(SDL_CondWaitTimeout) \
    X(SDL_CondWait) \
    X(SDL_CreateThread) \
    X(SDL_WaitThread) \
    X(SDL_GetCurrentAudioDriver) /* audio driver name */ \
    X(SDL_GetCurrentVideoDriver) /* video driver name */
// clang-format on
