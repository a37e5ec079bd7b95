// tavrin-play: the player component behind a command line. Plays one file;
// space pauses and resumes, q or Esc quits, Left/Right seek 10 s back and
// forward (in the player's window, or on the terminal). Prints the state
// changes and, with --verbose, the positions. Exits 0 at the end of the file
// or when told to quit, 1 when the file cannot be played.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/play_arguments.h"
#include "media/player/custom_player.h"
#include "media/runtime/main_thread.h"

namespace {

constexpr char kUsage[] =
    "Usage: tavrin-play [OPTIONS] FILE\n"
    "Plays a media FILE with its sound.\n"
    "\n"
    "Options:\n"
    "      --no-display    show no pictures (no window)\n"
    "      --no-audio      play no sound\n"
    "      --volume N      sound volume, 0 to 128 (default 128)\n"
    "      --mute          play silence\n"
    "      --start-paused  open paused; space starts\n"
    "      --start T       start at T (seconds, or [[hh:]mm:]ss[.frac])\n"
    "      --length T      play T long, then quit\n"
    "      --aspect R      display aspect ratio: R > 0 forced, 0 the picture's,\n"
    "                      R < 0 the window's\n"
    "  -v, --verbose       print the positions too\n"
    "  -h, --help          print this help\n"
    "      --version       print the program's version\n"
    "\n"
    "Keys: space pause/resume, q or Esc quit, Left/Right seek 10 s.\n"
    "The media libraries and SDL are taken from the folder \"LibAV\" next to the\n"
    "program when it holds them, else from the system.\n"
    "Exit status: 0 at the end of the file or on quit, 1 when the file cannot be\n"
    "played, 2 on a usage error or when the libraries cannot be loaded.\n";

const char* StateName(tavrin::TPlayState state) {
    static const char* const kNames[] = {"play", "pause", "resume", "step", "stop", "end"};
    return kNames[state];
}

// The terminal in single-key mode while the player runs, restored after.
class RawTerminal {
public:
    RawTerminal() {
        if (::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved_) == 0) {
            termios raw = saved_;
            raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 0;
            active_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
        }
    }
    ~RawTerminal() {
        if (active_) {
            ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
        }
    }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

    // The keys typed since the last call, as SDL key codes.
    std::vector<int> Keys() {
        std::vector<int> keys;
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (!active_ || ::poll(&input, 1, 0) <= 0) {
            return keys;
        }
        char bytes[64];
        const ssize_t count = ::read(STDIN_FILENO, bytes, sizeof bytes);
        for (ssize_t i = 0; i < count; ++i) {
            if (bytes[i] == 27 && i + 2 < count && bytes[i + 1] == '[') {
                const char arrow = bytes[i + 2];
                keys.push_back(arrow == 'C' ? int{SDLK_RIGHT} : arrow == 'D' ? int{SDLK_LEFT} : 0);
                i += 2;
            } else {
                keys.push_back(bytes[i] == 27 ? int{SDLK_ESCAPE} : int{bytes[i]});
            }
        }
        return keys;
    }

private:
    termios saved_{};
    bool active_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    using namespace tavrin;
    std::string error;
    const auto arguments =
        cli::ParsePlayArguments(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!arguments) {
        std::fprintf(stderr, "tavrin-play: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    if (arguments->Help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (arguments->Version) {
        std::printf("tavrin-play %d.%d.%d.%d\n", TAVRIN_VERSION_MAJOR + 0, TAVRIN_VERSION_MINOR + 0,
                    TAVRIN_VERSION_PATCH + 0, TAVRIN_VERSION_TWEAK + 0);
        return 0;
    }
    InitMainThread();

    TDEDudevo player;
    if (!player.LoadLibraries(DefaultLibraryFolder(), true)) {
        std::fprintf(stderr, "tavrin-play: %s\n", player.LastErrorText().c_str());
        return 2;
    }
    player.SetDisableDisplay(arguments->NoDisplay);
    player.SetDisableAudio(arguments->NoAudio);
    player.SetAudioVolume(arguments->Volume);
    player.SetMute(arguments->Mute);
    player.SetAspectRatio(arguments->Aspect);
    if (arguments->Length) {
        player.SetPlayRange(arguments->Start.value_or(AV_NOPTS_VALUE), *arguments->Length, peStop);
    } else if (arguments->Start) {
        player.SetPlayRange(*arguments->Start, AV_NOPTS_VALUE, pePauseAndRewind);
    }

    bool finished = false;
    player.SetOnState([&](TCustomPlayer*, TPlayState state) {
        std::printf("state: %s\n", StateName(state));
        std::fflush(stdout);
        finished = finished || state == psEnd || state == psStop;
    });
    if (arguments->Verbose) {
        player.SetOnPosition([](TCustomPlayer*, int64_t position) {
            std::printf("position: %" PRId64 ".%06" PRId64 "\n", position / 1000000,
                        position % 1000000);
            std::fflush(stdout);
        });
    }
    const auto on_key = [&](TCustomPlayer*, int32_t key) {
        const int64_t position = std::max<int64_t>(player.CurrentPosition(), 0);
        switch (key) {
            case ' ':
                player.TogglePause();
                break;
            case 'q':
            case SDLK_ESCAPE:
                player.Stop(false);
                break;
            case SDLK_LEFT:
                player.Seek(kSeekBackward, false, std::max<int64_t>(position - 10000000, 0));
                break;
            case SDLK_RIGHT:
                player.Seek(0, false, position + 10000000);
                break;
            default:
                break;
        }
    };
    player.SetOnKeyDown(on_key);

    RawTerminal terminal;
    if (!player.Open(arguments->File, 0, arguments->StartPaused)) {
        std::fprintf(stderr, "tavrin-play: %s\n", player.LastErrorText().c_str());
        return 1;
    }
    while (!finished) {
        WaitForMessages(std::chrono::milliseconds(20));
        for (const int key : terminal.Keys()) {
            on_key(&player, key);
        }
    }
    player.Stop(true);
    ProcessMessages();
    return 0;
}
