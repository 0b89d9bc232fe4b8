#!/usr/bin/env bash
# Sets everything up and runs the demo: installs what is missing, builds the demo and its data
# file, and runs it in build/run (it reads zivivev.dat from the current directory). Without a
# display it runs under Xvfb and records picture and sound to build/zivivev-recording.mp4.
set -euo pipefail
cd "$(dirname "$0")"
build="${ZIV_BUILD_DIR:-build}"  # another build folder, for developers who keep several
./scripts/deps.sh demo
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target zivivev
build=$(cd "$build" && pwd)
run_dir="$build/run"
if [ ! -f "$run_dir/zivivev.dat" ]; then
  echo "demo.sh: $run_dir/zivivev.dat was not generated" >&2
  exit 1
fi

if [ -n "${DISPLAY:-}" ]; then
  cd "$run_dir"
  exec ./zivivev
fi

# No display: a private X server, a PulseAudio null sink that ALSA (and so Allegro) plays into,
# and ffmpeg grabbing both until the demo exits.
./scripts/deps.sh record
video="$build/zivivev-recording.mp4"
work=$(mktemp -d /tmp/zivivev-record-XXXXXX)
xvfb_pid="" pulse_started="" ffmpeg_pid=""
cleanup() {
  if [ -n "$ffmpeg_pid" ]; then kill -INT "$ffmpeg_pid" 2>/dev/null || true; wait "$ffmpeg_pid" 2>/dev/null || true; fi
  if [ -n "$pulse_started" ]; then pulseaudio --kill 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 5 -screen 0 800x600x24 -nolisten tcp -noreset 5>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
if [ ! -s "$work/display" ]; then echo "demo.sh: Xvfb did not start" >&2; exit 1; fi
export DISPLAY=":$(head -n1 "$work/display")"

export XDG_RUNTIME_DIR="$work" PULSE_RUNTIME_PATH="$work/pulse" PULSE_STATE_PATH="$work/pulse"
export PULSE_SERVER="unix:$work/pulse.sock"
pulseaudio --daemonize=yes -n --exit-idle-time=-1 --disallow-exit --log-target=file:"$work/pulse.log" \
  --load="module-native-protocol-unix auth-anonymous=1 socket=$work/pulse.sock" \
  --load="module-null-sink sink_name=zivivev_sink" \
  --load="module-always-sink" >/dev/null 2>&1 && pulse_started=1
audio_in=(-f lavfi -i "anullsrc=r=44100:cl=stereo")
if [ -n "$pulse_started" ]; then
  printf '<%s>\npcm.!default { type pulse }\nctl.!default { type pulse }\n' \
    /usr/share/alsa/alsa.conf >"$work/asound.conf"
  export ALSA_CONFIG_PATH="$work/asound.conf"
  audio_in=(-f pulse -i zivivev_sink.monitor)
else
  echo "demo.sh: PulseAudio did not start; recording without sound" >&2
fi

ffmpeg -nostdin -loglevel error -y -f x11grab -framerate 30 -video_size 800x600 -i "$DISPLAY" \
  "${audio_in[@]}" -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -b:a 160k \
  "$video" &
ffmpeg_pid=$!

status=0
(cd "$run_dir" && ./zivivev) || status=$?
kill -INT "$ffmpeg_pid" 2>/dev/null || true
wait "$ffmpeg_pid" 2>/dev/null || true
ffmpeg_pid=""
echo "demo.sh: recorded the demo to $video"
exit "$status"
