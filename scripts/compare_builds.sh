#!/usr/bin/env bash
# Runs two builds of kavel over every fixture in tests/data and every capture in
# ../shared/samples, each program of each file, with the option sets of the end-to-end
# tests, and checks that the two give byte-identical reports, messages, exit statuses and
# output files.
#
#   scripts/compare_builds.sh COMMAND_A COMMAND_B
#
# Each command is a program path, or a whole command line to put before the arguments. An
# arm64 build under qemu-user against the native one:
#   scripts/compare_builds.sh build/kavel \
#     "qemu-aarch64 -L /usr/aarch64-linux-gnu build-arm64/kavel"
# A build before a change against one after it:
#   scripts/compare_builds.sh /tmp/before/kavel build/kavel
#
# Program numbers come from ffprobe where it is installed; without it each file is run as
# program 1. Prints one line per difference and a count at the end; exits 1 on any.
set -u
cd "$(dirname "$0")/.."
[ $# -eq 2 ] || { sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
command_a=$1
command_b=$2
# The runs happen in folders of their own: every word of a command that names a file here
# is made absolute.
abs() {
    local word out=""
    for word in $1; do
        case $word in /*) ;; *) [ -e "$word" ] && word=$PWD/$word ;; esac
        out="$out${out:+ }$word"
    done
    echo "$out"
}
command_a=$(abs "$command_a")
command_b=$(abs "$command_b")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/a" "$work/b"

inputs=(tests/data/*.ts tests/data/*.m2ts)
[ -d ../shared/samples ] && inputs+=(../shared/samples/*.ts)

programs_of() {
    local list=""
    command -v ffprobe >/dev/null 2>&1 &&
        list=$(ffprobe -v quiet -show_entries program=program_id -of default=nw=1:nk=1 "$1" 2>/dev/null | sort -un)
    echo "${list:-1}"
}

# One run in a folder of its own: the report, the messages, the status and both outputs.
run_in() {
    local dir=$1 command=$2
    shift 2
    rm -f "$dir"/*
    (cd "$dir" && $command "$@" >report.txt 2>messages.txt; echo $? >status.txt)
}

runs=0
differences=0
for input in "${inputs[@]}"; do
    path=$(realpath "$input")
    hdmv=""
    case $input in *.m2ts) hdmv=h ;; esac
    for program in $(programs_of "$path"); do
        # Option sets and stream numbers as the end-to-end tests use them: plain and PES
        # outputs, other streams, audio alone, and every report option in a parse-only run.
        for run in "-s$hdmv 1 1" "-sz$hdmv 1 1" "-s$hdmv 1 2" "-s$hdmv 2 1" "-s$hdmv 0 1" \
                   "-pavtdgres2$hdmv 1 1"; do
            set -- $run
            options=$1 video=$2 audio=$3
            run_in "$work/a" "$command_a" "$options" "$path" "$program" "$video" "$audio"
            run_in "$work/b" "$command_b" "$options" "$path" "$program" "$video" "$audio"
            runs=$((runs + 1))
            for f in report.txt messages.txt status.txt bits0001.mpv bits0001.mpa; do
                if [ -e "$work/a/$f" ] || [ -e "$work/b/$f" ]; then
                    if ! cmp -s "$work/a/$f" "$work/b/$f"; then
                        echo "differs: $f of $options $input $program $video $audio"
                        differences=$((differences + 1))
                    fi
                fi
            done
        done
    done
done
echo "$runs runs over ${#inputs[@]} files: $differences differences"
[ "$differences" -eq 0 ]
