#!/usr/bin/env bash
# Runs tavrin-transcode and the ffmpeg program on the same four tasks, in the
# same run, on a generated 60 s 1280x720 30 fps H.264+AAC clip and three 30 s
# MP3 files, and prints per task the median wall time and the median peak
# resident memory of both and their ratios. Targets: wall ratio <= 1.05,
# memory ratio <= 1.2.
#
#   bench/transcode_bench.sh [ROUNDS]    (BUILD=<build folder>, default build/release;
#                                         CASES="1 4" runs only those tasks, numbered from 1)
#
# ROUNDS defaults to 4 and is rounded up to an even count; tasks that run
# under 2 s get at least 50 rounds.
#
# Tasks: the merge application's final "MP4" and "MKV" tasks (video of the
# clip, audio of the first MP3), the join of the three MP3 files cut to 60 s
# (the ffmpeg program joins with its concat filter), and a stream copy of the
# whole clip.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

rounds=$(even_rounds "${1:-4}")
ours=$(program_path tavrin-transcode)
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (scripts/setup.sh installs it)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

make_clip_and_tones "$work"

clip=$work/clip.mp4
tones=("$work/tone1.mp3" "$work/tone2.mp3" "$work/tone3.mp3")
join_options="-t 60 -c:a libmp3lame -ac 2 -ab 128000 -ar 44100"

# Arguments of each task for both programs (output name last).
case_names=("MP4 final task" "MKV final task (libx264)" "join of 3 MP3 cut to 60 s" "stream copy")
ours_args=(
    "-i $clip -i ${tones[0]} -c:v mpeg4 -c:a aac -astrict experimental -map 0:0 -map 1:0 $work/ours.mp4"
    "-i $clip -i ${tones[0]} -pix_fmt yuv420p -c:v libx264 -map 0:0 -map 1:0 $work/ours.mkv"
    "-join -i ${tones[0]} -i ${tones[1]} -i ${tones[2]} $join_options $work/ours.mp3"
    "-i $clip -c copy $work/ours-copy.mkv"
)
peer_args=(
    "-i $clip -i ${tones[0]} -c:v mpeg4 -c:a aac -strict experimental -map 0:0 -map 1:0 $work/peer.mp4"
    "-i $clip -i ${tones[0]} -pix_fmt yuv420p -c:v libx264 -map 0:0 -map 1:0 $work/peer.mkv"
    "-i ${tones[0]} -i ${tones[1]} -i ${tones[2]} -filter_complex concat=n=3:v=0:a=1 $join_options $work/peer.mp3"
    "-i $clip -c copy $work/peer-copy.mkv"
)

# Runs one program and appends "seconds kilobytes" to the given file. The wall
# time is taken to the microsecond around the run: /usr/bin/time gives only
# hundredths, a tenth of the stream copy's whole time.
measure() {
    local record=$1
    shift
    rm -f "$work"/ours* "$work"/peer*
    local start end
    start=$(date +%s%N)
    /usr/bin/time -f "%M" -o "$work/last" "$@" >/dev/null 2>"$work/stderr" || {
        echo "failed: $*" >&2
        cat "$work/stderr" >&2
        exit 1
    }
    end=$(date +%s%N)
    echo "$(((end - start) / 1000)) $(cat "$work/last")" |
        awk '{ printf "%.6f %s\n", $1 / 1000000, $2 }' >>"$record"
}

median() {  # column of a "seconds kilobytes" file
    cut -d' ' -f"$2" "$1" | sort -g | awk '{ v[NR] = $1 } END {
        if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

printf "%-28s %10s %10s %7s %11s %11s %7s\n" "task" "ours s" "ffmpeg s" "wall" \
    "ours MiB" "ffmpeg MiB" "memory"
verdict=0
for c in "${!case_names[@]}"; do
    if [ -n "${CASES:-}" ] && [[ " $CASES " != *" $((c + 1)) "* ]]; then
        continue
    fi
    : >"$work/rec-ours"
    : >"$work/rec-peer"
    # One untimed run of each first, so that the first timed round does not
    # read the input and the libraries in alone. Rounds then alternate which
    # program goes first. Short runs are at the mercy of the machine's noise:
    # they get at least 50 rounds, still a few seconds.
    # shellcheck disable=SC2086
    measure "$work/warm-up" "$ours" -loglevel error ${ours_args[$c]}
    # shellcheck disable=SC2086
    measure "$work/warm-up" ffmpeg -nostdin -hide_banner -loglevel error -y ${peer_args[$c]}
    case_rounds=$rounds
    round=0
    while [ "$round" -lt "$case_rounds" ]; do
        round=$((round + 1))
        if [ $((round % 2)) -eq 1 ]; then
            # shellcheck disable=SC2086
            measure "$work/rec-ours" "$ours" -loglevel error ${ours_args[$c]}
            # shellcheck disable=SC2086
            measure "$work/rec-peer" ffmpeg -nostdin -hide_banner -loglevel error -y ${peer_args[$c]}
        else
            # shellcheck disable=SC2086
            measure "$work/rec-peer" ffmpeg -nostdin -hide_banner -loglevel error -y ${peer_args[$c]}
            # shellcheck disable=SC2086
            measure "$work/rec-ours" "$ours" -loglevel error ${ours_args[$c]}
        fi
        if [ "$round" -eq 1 ] && awk '{ exit !($1 < 2) }' "$work/rec-ours" && [ "$case_rounds" -lt 50 ]; then
            case_rounds=50
        fi
    done
    ow=$(median "$work/rec-ours" 1)
    pw=$(median "$work/rec-peer" 1)
    om=$(median "$work/rec-ours" 2)
    pm=$(median "$work/rec-peer" 2)
    line=$(awk -v name="${case_names[$c]}" -v ow="$ow" -v pw="$pw" -v om="$om" -v pm="$pm" 'BEGIN {
        wall = pw > 0 ? ow / pw : 0
        mem = pm > 0 ? om / pm : 0
        flag = (wall <= 1.05 && mem <= 1.2) ? "" : "  ABOVE TARGET"
        printf "%-28s %10.3f %10.3f %7.3f %11.1f %11.1f %7.3f%s\n", name, ow, pw, wall,
               om / 1024, pm / 1024, mem, flag
    }')
    echo "$line"
    case $line in *"ABOVE TARGET"*) verdict=1 ;; esac
done
echo "rounds: $rounds (50 for tasks under 2 s); ratios are ours / ffmpeg of the medians; targets: wall <= 1.05, memory <= 1.2"
exit $verdict
