#!/bin/sh
# Start and stop of orva_backend with a project of 500 frames and 2,000 channels (no
# amplifier associated): time from the start to the first answer on GET / and on
# GET /frames, and from SIGINT to the exit (the project saved on the way). Three runs;
# each figure is printed per run and as the median.
#
#   scripts/sandbox.sh bench/core/start_stop.sh [build] [runs]
#
# Runs inside the network sandbox: port 8080 and the quit port belong to it alone.
set -eu
build=${1:-build}
runs=${2:-3}
bin=$(cd "$build/bin" && pwd)
work=$(mktemp -d /tmp/orva-start-stop.XXXXXX)
trap 'rm -rf "$work"' EXIT

python3 - "$work/project.xml" <<'PY'
import sys
out = []
out.append('<?xml version="1.0" encoding="utf-8"?>\n<configuration><settings><setting><id>1</id>'
           '<project>Bench</project></setting></settings><frames>')
for f in range(1, 501):
    ids = " ".join(str((f - 1) * 4 + k + 1) for k in range(4))
    out.append(f'<frame><id>{f}</id><frame_type>mira</frame_type><name>Amplifier rack {f}</name>'
               f'<model>28</model><model_name>VR 45:4M</model_name><power_status>1</power_status>'
               f'<synced>false</synced><bridged>false</bridged><dico_version>7.200000</dico_version>'
               f'<serial_number>SN{100000 + f}</serial_number><temperature_psm>41</temperature_psm>'
               f'<mon_frame_status>0</mon_frame_status><channels>{ids}</channels></frame>')
out.append('</frames><channels>')
for f in range(1, 501):
    for k in range(4):
        c = (f - 1) * 4 + k + 1
        out.append(f'<channel><id>{c}</id><frame_id>{f}</frame_id><frame_type>mira</frame_type>'
                   f'<frame_name>Amplifier rack {f}</frame_name><name>Zone {f}.{k + 1}</name>'
                   f'<gain>32.000000</gain><attenuation>-6.250000</attenuation><threshold>0.000000</threshold>'
                   f'<profile>2</profile><mute>0</mute><temperature>40</temperature><routing>primary</routing>'
                   f'<mod_label>Mod</mod_label><dsp_label>Out</dsp_label><t1_frequency>25.000000</t1_frequency>'
                   f'<t1_amplitude>0.500000</t1_amplitude><t1_ref_impedance>8.000000</t1_ref_impedance></channel>')
out.append('</channels></configuration>\n')
open(sys.argv[1], "w").write("".join(out))
PY

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
# Polls URL until it answers 200; prints the milliseconds since $2.
first_answer() {
  while [ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 "$1" || true)" != 200 ]; do sleep 0.002; done
  echo $(( $(now_ms) - $2 ))
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

: > "$work/root"; : > "$work/frames"; : > "$work/stop"
i=1
while [ "$i" -le "$runs" ]; do
  home="$work/home$i"
  mkdir -p "$home/Orva"
  cp "$work/project.xml" "$home/Orva/configuration_orva.xml"
  t0=$(now_ms)
  XDG_DATA_HOME="$home" "$bin/orva_backend" > "$home/out" 2>&1 &
  pid=$!
  root=$(first_answer http://127.0.0.1:8080/ "$t0")
  frames=$(first_answer http://127.0.0.1:8080/frames "$t0")
  sleep 1
  t1=$(now_ms)
  kill -INT "$pid"
  wait "$pid" || true
  stop=$(( $(now_ms) - t1 ))
  saved=$(grep -c 'Saving data model' "$home/Orva/orva.log" || true)
  echo "run $i: GET / after ${root} ms, GET /frames after ${frames} ms, SIGINT to exit ${stop} ms (project saved: $saved)"
  echo "$root" >> "$work/root"; echo "$frames" >> "$work/frames"; echo "$stop" >> "$work/stop"
  i=$((i + 1))
done
echo "start to first answer on GET /:       median $(median < "$work/root") ms (target <= 300 ms)"
echo "start to first answer on GET /frames: median $(median < "$work/frames") ms"
echo "SIGINT to exit:                       median $(median < "$work/stop") ms (target <= 1000 ms)"
