# Shared by the benchmark scripts: sourced after `cd` to the project folder.

# Prints the path of our program TARGET in $BUILD (default build/release),
# building it first when it is missing.
program_path() {
    local target=$1
    local build=${BUILD:-build/release}
    if [ ! -x "$build/app/$target" ]; then
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        cmake --build "$build" --target "$target" >/dev/null
    fi
    echo "$build/app/$target"
}

# ROUNDS made even: the rounds alternate which program goes first, and with an
# odd count one of them would go first once more often; where the first run of
# a pair reads the libraries back into the page cache, that one would carry the
# colder median.
even_rounds() {
    echo $(($1 + $1 % 2))
}

make_file() {
    ffmpeg -nostdin -hide_banner -loglevel error -y "$@"
}

# Writes clip.mp4 (60 s 1280x720 30 fps H.264 + AAC) and tone1..3.mp3 (30 s
# each) into the folder $1.
make_clip_and_tones() {
    local folder=$1
    echo "generating the clip and three MP3 files in $folder ..."
    make_file -f lavfi -i "testsrc2=size=1280x720:rate=30:duration=60" \
        -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=60" \
        -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 128k -shortest \
        "$folder/clip.mp4"
    local i
    for i in 1 2 3; do
        make_file -f lavfi -i "sine=frequency=$((300 * i)):sample_rate=44100:duration=30" \
            -c:a libmp3lame -b:a 128k "$folder/tone$i.mp3"
    done
}

# A work folder, removed when the script ends, holding the clip and the three
# songs (make_clip_and_tones), an output folder and a home of its own; sets
# $work, $clip and $out.
make_merge_workspace() {
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    make_clip_and_tones "$work"
    clip=$work/clip.mp4
    out=$work/out
    mkdir -p "$out" "$work/home"
}

# Runs the program $ours (tavrin-merge) with the arguments, writing into $out,
# on the clip and the three songs, in a home of its own: the user's settings
# are neither read nor changed.
run_tavrin_merge() {
    HOME=$work/home XDG_CONFIG_HOME=$work/home/config "$ours" "$@" --out "$out" \
        "$clip" "$work/tone1.mp3" "$work/tone2.mp3" "$work/tone3.mp3"
}

# Appends the wall seconds of one run of the command to the record file, the
# output folder $out emptied first; stops the benchmark when the command fails
# (its standard error kept in $work/stderr).
measure_wall() {
    local record=$1
    shift
    rm -rf "${out:?}"/*
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>"$work/stderr" || {
        echo "failed: $*" >&2
        cat "$work/stderr" >&2
        exit 1
    }
    end=$(date +%s.%N)
    awk -v s="$start" -v e="$end" 'BEGIN { print e - s }' >>"$record"
}

# The median of a file of numbers, one a line.
median_of() {
    sort -g "$1" | awk '{ v[NR] = $1 } END {
        if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
