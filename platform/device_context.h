#pragma once

#include <filesystem>

#include "platform/audio_output.h"
#include "platform/background_work.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/media.h"
#include "platform/prefs_store.h"
#include "platform/radio.h"
#include "platform/run_loop.h"

namespace merriphonic {

// The folders a device keeps its files in.
struct DeviceFolders {
    std::filesystem::path data;  // persistent data (the music library lives below it)
    std::filesystem::path cache; // re-creatable data (received songs)
    std::filesystem::path temp;  // scratch space
};

// Everything an object above the core needs from the outside world: time, threads, the log,
// preferences, folders and media. The app fills it with real implementations, tests and the
// simulator with virtual ones. The context outlives every object given it.
struct DeviceContext {
    Clock& clock;
    RunLoop& main;
    RunLoop& streams;
    BackgroundWork& background;
    Log& log;
    PrefsStore& prefs;
    DeviceFolders folders;
    // Sound output; absent on devices that never play.
    AudioOutputFactory* audio = nullptr;
    // Decoding, transcoding and tags; absent on devices that never touch media files.
    MediaToolkit* media = nullptr;
    // Bluetooth managers; absent on devices that never host or join.
    RadioFactory* radio = nullptr;
};

} // namespace merriphonic
