#include "tests/app/app_rig.h"

#include <cmath>
#include <string>

#include "tests/platform/ffmpeg/test_media.h"

namespace merriphonic::test {

std::filesystem::path AppRig::song(double seconds, const std::string& title,
                                   const std::string& artist) {
    testmedia::MediaFolder& folder = testmedia::media();
    const std::string name = title + "-" + std::to_string(std::lround(seconds * 1000)) + ".mp3";
    if (std::filesystem::exists(folder.path(name))) {
        return folder.path(name);
    }
    return folder.ffmpeg(name, {"-f", "lavfi", "-i",
                                "aevalsrc=exprs='0.3*sin(2*PI*(330+40*sin(t))*t)|0.3*sin(2*PI*"
                                "495*t)':s=44100:d=" +
                                    std::to_string(seconds),
                                "-c:a", "libmp3lame", "-b:a", "96k", "-metadata", "title=" + title,
                                "-metadata", "artist=" + artist});
}

} // namespace merriphonic::test
