#!/usr/bin/env bash
# karvolen-capture on the simulated Quellbar, no display: pictures against the
# device's own screen, a series, the endings with a status.
#   capture_test.sh BUILD                 the build tree's program
#   CAPTURE=/usr/bin/karvolen-capture capture_test.sh BUILD   an installed one
set -euo pipefail
BUILD="$(cd "$1" && pwd)"
CAPTURE="${CAPTURE:-$BUILD/bin/karvolen-capture}"
RUN="$BUILD/bin/quellbar-run"
T="$(mktemp -d "${TMPDIR:-/tmp}/karvolen-capture.XXXXXX")"
trap 'rm -rf "$T"' EXIT
cd "$T"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
# The picture feed's folder, this test's own.
mkdir -m 700 runtime other
export XDG_RUNTIME_DIR="$T/runtime"
fail() { echo "FAIL: $*" >&2; exit 1; }
# The pixels of any picture file as one normalised binary PPM.
ppm() { convert "$1" ppm:- | ppmtoppm; }
same() { cmp -s <(ppm "$1") <(ppm "$2"); }
sim() { QUELLBAR_SIM="$1" "$RUN" "$CAPTURE" "${@:2}"; }

# One picture under the automatic name: an 8-bit palette PNG, the device's screen.
sim "width=640;dump=$T/screen.ppm"
png="$(ls quellbar-????-??-??-??????.png)"
[ "$(od -An -tu1 -j24 -N2 "$png" | xargs)" = "8 3" ] || fail "$png is not an 8-bit palette PNG"
same "$png" screen.ppm || fail "$png is not the device's picture"
echo "ok - one picture: $png, 640 x 480 palette PNG equal to the device's"

# Standard output, and its early close: status 4 or a whole write, never a signal.
sim "dump=$T/screen.ppm" -o - >out.png
same out.png screen.ppm || fail "standard output is not the device's picture"
status=0; sim "" -o - 2>/dev/null | head -c 100 >/dev/null || status=${PIPESTATUS[0]}
[ "$status" = 0 ] || [ "$status" = 4 ] || fail "standard output closed early: status $status"
status=0; sim "" -o - >&- 2>err || status=$?
[ "$status" = 4 ] && grep -q "cannot write standard output" err || fail "closed standard output: status $status"
echo "ok - standard output: the picture, closed early status $status, closed 4"

# A 5-picture series twice from the same device: PNG files, then a GIF whose
# frames are those files; the last picture is the device's.
mkdir shots
sim "dump=$T/screen.ppm" --count 5 -o 'shots/q-%H%M%S.png'
mapfile -t shots < <(ls shots/*.png)
[ "${#shots[@]}" = 5 ] || fail "${#shots[@]} PNG files, not 5"
same "${shots[4]}" screen.ppm || fail "the last PNG is not the device's picture"
sim "" --count 5 -o run.gif
[ "$(tail -c1 run.gif | od -An -c | xargs)" = ";" ] || fail "run.gif has no trailer"
convert run.gif -coalesce frame-%d.ppm
for i in 0 1 2 3 4; do same "frame-$i.ppm" "${shots[$i]}" || fail "GIF frame $i differs from picture $i"; done
[ ! -e frame-5.ppm ] || fail "more than 5 frames"
# Each frame lasts until the next picture, the last one until the series' end.
read -r -a delays <<<"$(identify -format '%T ' run.gif)"
for d in "${delays[@]}"; do [ "$d" -ge 80 ] && [ "$d" -le 130 ] || fail "frame delays ${delays[*]} cs"; done
echo "ok - 5 pictures as PNG files and as a GIF, frame for frame, delays ${delays[*]} cs"

# Width change into GIF: after a drained reply the picture comes whole at 640,
# drawn at the left of the 800-wide screen.
sim "widthswitch=2;faults=nosig:20000@2;dump=$T/narrow.ppm" --count 3 -o wide.gif
[ "$(identify -format '%w' narrow.ppm)" = 640 ] || fail "the device did not switch to 640"
convert wide.gif -coalesce wide-%d.ppm
convert wide-2.ppm -crop 640x480+0+0 +repage left.ppm
[ "$(identify -format '%w' wide-0.ppm)" = 800 ] && same left.ppm narrow.ppm || fail "GIF over a width change"
echo "ok - 800 then 640 into one GIF"

# Endings with a status: name, expected status, text on standard error (none
# when empty), options.
while IFS='|' read -r name want text options command; do
  status=0; eval "$command" 2>err || status=$?
  [ "$status" = "$want" ] && if [ -n "$text" ]; then grep -q -- "$text" err; else [ ! -s err ]; fi ||
    { cat err >&2; fail "$name: status $status, not $want with '${text:-nothing}'"; }
  echo "ok - $name: status $status"
done <<'TABLE'
no device|1|Cannot connect to the Quellbar|device=absent|sim "device=absent"
no device, check items on lines of their own|1|^karvolen-capture: Is the Quellbar configured in Video Output mode?$||sim "device=absent"
beside a series, from its feed|0|||QUELLBAR_SIM="" "$RUN" bash -c '"$0" -n 6 -o held.gif & sleep 2; "$0" -o beside.png; s=$?; wait; exit $s' "$CAPTURE"
the feed's owner ends|3|the picture feed of karvolen-capture (process [0-9]*) ended||QUELLBAR_SIM="" "$RUN" bash -c '"$0" -n 4 -o owner.gif & sleep 1.5; "$0" -n 100 -o reader.gif; s=$?; wait; exit $s' "$CAPTURE"
device in use, no feed|1|Cannot connect to the Quellbar: it is in use||QUELLBAR_SIM="" "$RUN" bash -c 'XDG_RUNTIME_DIR=$PWD/other "$0" -n 5 -o held2.gif & sleep 2; "$0" -o x.png; s=$?; kill -TERM $!; wait; exit $s' "$CAPTURE"
an existing file|4|the file exists|| sim "" -o out.png
lost reply in a series|3|Can't get the image from the Quellbar||sim "faults=noreply@3" -n 5 -o lost.gif
reply drained in a series, retried|0|||sim "faults=nosig@3;dump=$T/healed.ppm" -n 5 -o 'healed-%H%M%S.png'
device gone in a series|3|Can't connect to the Quellbar||sim "faults=writegone@3" -n 5 -o 'gone-%H%M%S.png'
only drained replies|3|no picture received||sim "faults=nosig@1,nosig@2,nosig@3,nosig@4,nosig@5" -d 3 -o none.gif
bad usage|2|unknown option||"$CAPTURE" --frobnicate
a format not written|2|written as .png or .bmp||"$CAPTURE" -o x.jpg
a series into one name|2|a series into the one name||"$CAPTURE" -n 10 -o shot.png
first frame not written|4|cannot write empty.gif||(ulimit -f 1; sim "" -n 3 -o empty.gif)
serving beyond loopback without a password|2|needs a password file or a one-time token||"$CAPTURE" --serve 0.0.0.0:0
serving with an unknown option value|2|--serve needs||"$CAPTURE" --serve 127.0.0.1:http
TABLE
[ ! -e none.gif ] && [ ! -e empty.gif ] || fail "a GIF without a picture left behind"
# From the feed: pixel for pixel pictures the owner showed.
shown() { local f; for f in "$2"-*.ppm; do same "$1" "$f" && return 0; done; return 1; }
convert held.gif -coalesce held-%d.ppm && shown beside.png held || fail "beside.png is no picture the owner showed"
convert owner.gif -coalesce owner-%d.ppm && convert reader.gif -coalesce reader-%d.ppm
for f in reader-*.ppm; do shown "$f" owner || fail "$f is no picture the owner showed"; done
echo "ok - from the feed: beside.png and $(ls reader-*.ppm | wc -l) GIF frames are the owner's pictures"
[ "$(identify lost.gif | wc -l)" = 2 ] || fail "the GIF before the lost reply does not keep its 2 pictures"
[ ! -e x.png ] || fail "a picture written while the device was in use"
mapfile -t healed < <(ls healed-*.png)
[ "${#healed[@]}" = 5 ] && same "${healed[4]}" healed.ppm || fail "${#healed[@]} pictures after a drained reply, or not the device's"
mapfile -t gone < <(ls gone-*.png)
[ "${#gone[@]}" = 2 ] || fail "${#gone[@]} pictures before the device left, not 2"
for f in "${gone[@]}"; do identify -regard-warnings "$f" >/dev/null || fail "$f is not whole"; done

# A full disk in a series (a file size limit; SIGXFSZ must not kill the
# program): status 4, one line, the GIF holds the pictures before, readable.
status=0; (ulimit -f 40; sim "" -n 5 -o full.gif) 2>err || status=$?
[ "$status" = 4 ] && [ "$(wc -l <err)" = 1 ] && grep -q "cannot write full.gif" err || { cat err >&2; fail "full disk: status $status"; }
frames="$(identify -regard-warnings full.gif | wc -l)" && [ "$frames" -ge 1 ] && [ "$frames" -lt 5 ] || fail "full.gif unreadable or not cut short"
echo "ok - full disk: status 4, one line, $frames frames readable"

# SIGTERM, or SIGHUP (the terminal gone), in a series: the GIF completed, the
# device reset, status 128 + the signal.
for sig in TERM:143 HUP:129; do
  rm -f q.log
  QUELLBAR_SIM="log=$T/q.log" "$RUN" "$CAPTURE" -n 100 -o "${sig%:*}.gif" &
  pid=$!
  for _ in $(seq 100); do [ "$(cat q.log 2>/dev/null | grep -c 'reply sent')" -ge 3 ] && break; sleep 0.1; done
  kill "-${sig%:*}" "$pid"
  status=0; wait "$pid" || status=$?
  [ "$status" = "${sig#*:}" ] || fail "SIG${sig%:*}: status $status"
  gif="${sig%:*}.gif"
  [ "$(tail -c1 "$gif" | od -An -c | xargs)" = ";" ] && [ "$(identify "$gif" | wc -l)" -ge 3 ] || fail "$gif incomplete"
  [ "$(tail -n1 q.log | cut -d' ' -f2)" = reset ] || fail "the device was not reset at the end: $(tail -n1 q.log)"
  echo "ok - SIG${sig%:*}: status $status, $(identify "$gif" | wc -l) frames complete, the device reset"
done
