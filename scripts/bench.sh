#!/usr/bin/env bash
# Builds the bench preset (Release, no native tuning) and runs every
# benchmark, then prints one table: each of our operations beside the
# reference that would otherwise be used (GMP, OpenSSL), both measured in this
# run, with the ratio of the medians and the target where there is one.
#
# Benchmark names are <operation>/<implementation>/<size>, "ours" being our
# implementation; rows pair ours with every other implementation of the same
# operation and size, plus the few cross pairs listed below.
#
# Environment: REGISTER_BENCH_DIR (build directory, default build/bench),
# REGISTER_BENCH_REPETITIONS (default 5), REGISTER_BENCH_MIN_TIME (seconds per
# repetition, default 0.2), REGISTER_BENCH_FILTER (a Google Benchmark filter),
# REGISTER_BENCH_CPU (the CPU to run on, default the first this script may
# use; "none" leaves the scheduler free).
# Results stay in <build>/results: the JSON of each binary, medians.tsv (read
# by scripts/plot-performance.sh) and table.md.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${REGISTER_BENCH_DIR:-build/bench}
repetitions=${REGISTER_BENCH_REPETITIONS:-5}
minTime=${REGISTER_BENCH_MIN_TIME:-0.2}
filter=${REGISTER_BENCH_FILTER:-.}
binaries=(crypt/crypt_bench crypt/bigint_bench crypt/elgamal_bench registration/registration_bench)

scripts/install-deps.sh
results=$build/results
mkdir -p "$results"
echo "Building the bench preset in $build ..." >&2
cmake --preset bench -B "$build" >"$results/configure.log" 2>&1 ||
  { cat "$results/configure.log" >&2; exit 1; }
cmake --build "$build" -j2 --target "${binaries[@]##*/}" >"$results/build.log" 2>&1 ||
  { tail -50 "$results/build.log" >&2; exit 1; }

# One CPU for every benchmark. The registration's client and in-process
# service then take turns on it, as a client and a remote service would on
# their own machines; spread over two CPUs, every reply wakes the client on
# the other one, and on a virtual machine whose idle CPUs halt that costs the
# woken thread CPU time that depends on the host, not on the library.
cpu=${REGISTER_BENCH_CPU:-$(taskset -cp $$ 2>/dev/null | sed 's/.*: *//; s/[-,].*//' || true)}
pin=()
if [ "$cpu" != none ] && [ -n "$cpu" ] && command -v taskset >/dev/null; then
  pin=(taskset -c "$cpu")
else
  cpu=none
fi

loadBefore=$(cut -d' ' -f1-3 /proc/loadavg)
rm -f "$results"/*.json
for binary in "${binaries[@]}"; do
  name=${binary##*/}
  echo "Running $name ..." >&2
  # Interleaved repetitions spread a passing burst of load over both sides of
  # a comparison instead of one.
  "${pin[@]}" "$build/bench/$binary" \
    --benchmark_filter="$filter" \
    --benchmark_repetitions="$repetitions" \
    --benchmark_min_time="$minTime" \
    --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true \
    --benchmark_out="$results/$name.json" --benchmark_out_format=json \
    >"$results/$name.log" 2>&1 || { tail -20 "$results/$name.log" >&2; exit 1; }
done
loadAfter=$(cut -d' ' -f1-3 /proc/loadavg)

# The median of every benchmark in nanoseconds: binary index, family index,
# instance index, name, wall-clock time, CPU time (or "failed" twice), and
# the client_cpu, encrypt_cpu and encrypt_wall counters where a benchmark
# has them ("-" otherwise). CPU time is the benchmark thread's, or the whole
# process's where a benchmark asks for it; client_cpu is the calling thread's
# alone in a benchmark whose CPU time is the process's, and encrypt_cpu and
# encrypt_wall that thread's CPU and wall-clock time for the encryption
# measured beside it.
index=0
for binary in "${binaries[@]}"; do
  index=$((index + 1))
  # A single repetition has no aggregates: its one run is the median.
  awk -v binary="$index" -v single=$((repetitions == 1)) '
    function field(line) {
      sub(/^[^:]*: */, "", line); sub(/,$/, "", line); gsub(/"/, "", line)
      return line
    }
    /"benchmarks": \[/ { inside = 1; next }
    !inside { next }
    /^ *\{/ { delete f; next }
    /^ *"[a-z_]+": / {
      key = $1; gsub(/[":]/, "", key); f[key] = field($0); next
    }
    /^ *\}/ {
      # Timing options add /process_time and /real_time to a name.
      sub(/\/real_time$/, "", f["run_name"])
      sub(/\/process_time$/, "", f["run_name"])
      scale["ns"] = 1; scale["us"] = 1e3; scale["ms"] = 1e6; scale["s"] = 1e9
      if (f["error_occurred"] == "true") {
        print binary "\t" f["family_index"] "\t" f["per_family_instance_index"] "\t" f["run_name"] "\tfailed\tfailed\t-\t-\t-"
      } else if (f["aggregate_name"] == "median" || (single && f["run_type"] == "iteration")) {
        printf "%s\t%s\t%s\t%s\t%.6g\t%.6g\t%s\t%s\t%s\n", binary, f["family_index"],
               f["per_family_instance_index"], f["run_name"], f["real_time"] * scale[f["time_unit"]],
               f["cpu_time"] * scale[f["time_unit"]],
               ("client_cpu" in f) ? sprintf("%.6g", f["client_cpu"]) : "-",
               ("encrypt_cpu" in f) ? sprintf("%.6g", f["encrypt_cpu"]) : "-",
               ("encrypt_wall" in f) ? sprintf("%.6g", f["encrypt_wall"]) : "-"
      }
    }
  ' "$results/${binary##*/}.json"
done | sort -t "$(printf '\t')" -k1,1n -k2,2n -k3,3n -u >"$results/medians.tsv"

awk -F '\t' -v loadBefore="$loadBefore" -v loadAfter="$loadAfter" \
    -v repetitions="$repetitions" -v pinnedCpu="$cpu" '
  function pretty(ns) {
    if (ns == "failed" || ns == "") return "failed"
    if (ns < 1e3) return sprintf("%.3g ns", ns)
    if (ns < 1e6) return sprintf("%.3g us", ns / 1e3)
    if (ns < 1e9) return sprintf("%.3g ms", ns / 1e6)
    return sprintf("%.3g s", ns / 1e9)
  }
  function sizeText(size,   parts, n, i, kv, out, piece) {
    if (size == "") return "-"
    n = split(size, parts, "/")
    out = ""
    for (i = 1; i <= n; ++i) {
      split(parts[i], kv, ":")
      if (kv[1] == "bits") piece = kv[2] " bits"
      else if (kv[1] == "bytes") piece = kv[2] " B"
      else if (kv[1] == "key") piece = kv[2] "-byte key"
      else if (kv[1] == "text") piece = "text " kv[2] " B"
      else piece = parts[i]
      out = out (i > 1 ? ", " : "") piece
    }
    return out
  }
  function implText(impl) {
    if (impl == "gmp") return "GMP"
    if (impl == "openssl") return "OpenSSL"
    return impl
  }
  # Targets: the bound on our time / the reference time.
  function target(op, size, ref,   key) {
    key = op "|" size "|" ref
    if (key in limit) return limit[key]
    key = op "|*|" ref
    if (key in limit) return limit[key]
    return ""
  }
  function row(op, size, refText, ours, theirs, bound,   ratio, verdict) {
    ratio = (ours == "failed" || theirs == "failed" || theirs == "" || theirs == 0) ? "" \
            : sprintf("%.2f", ours / theirs)
    verdict = ""
    if (bound != "") {
      verdict = sprintf("<= %.2f %s", bound, (ratio != "" && ratio + 0 <= bound) ? "ok" : "MISSED")
    }
    printf "| %-13s | %-22s | %9s | %-32s | %9s | %6s | %-14s |\n", op, sizeText(size),
           pretty(ours), refText, theirs == "" ? "-" : pretty(theirs), ratio, verdict
  }
  BEGIN {
    limit["modExp|bits:1024|gmp"] = 2.5
    limit["modExp|*|gmp"] = 3
    limit["makeRecip|*|gmp"] = 5
    limit["MD5|bytes:65536|openssl"] = 1 / 0.85
    limit["setKey|*|openssl"] = 1
    limit["cbcDecrypt|*|openssl"] = 1 / 1.1
    limit["poolFill|bytes:16|MD5 openssl bytes:24"] = 2
    limit["registration|*|encryptRecord ours"] = 1.5
    limit["registration|*|client CPU"] = 1.2
    # Cross pairs: operation|size -> the reference benchmark, its label.
    cross["poolFill|bytes:16"] = "MD5/openssl/bytes:24"
    crossLabel["poolFill|bytes:16"] = "OpenSSL MD5 of 24 B"
    crossKey["poolFill|bytes:16"] = "MD5 openssl bytes:24"
    cross["modExp|bits:2048"] = "modExp/ours/bits:1024"
    crossLabel["modExp|bits:2048"] = "ours at 1024 bits"
    crossKey["modExp|bits:2048"] = "modExp ours bits:1024"
  }
  {
    name = $4
    time[name] = $5
    cpu[name] = $6
    clientCpu[name] = $7
    encryptCpu[name] = $8
    encryptWall[name] = $9
    n = split(name, part, "/")
    op = part[1]; impl = part[2]; size = ""
    for (i = 3; i <= n; ++i) size = size (i > 3 ? "/" : "") part[i]
    group = op "|" size
    if (!(group in seen)) { seen[group] = 1; order[++groups] = group; opOf[group] = op; sizeOf[group] = size }
    if (impl == "ours") ours[group] = $5
    else { refs[group] = refs[group] (refs[group] == "" ? "" : " ") impl; refTime[group, impl] = $5 }
  }
  END {
    printf "| %-13s | %-22s | %9s | %-32s | %9s | %6s | %-14s |\n", "operation", "size", "ours",
           "reference", "its time", "ratio", "target"
    printf "|%s|%s|%s|%s|%s|%s|%s|\n", "---------------", "------------------------",
           "----------:", "----------------------------------", "----------:", "-------:",
           "----------------"
    for (g = 1; g <= groups; ++g) {
      group = order[g]
      if (!(group in ours)) continue
      op = opOf[group]; size = sizeOf[group]
      printed = 0
      if (group in refs) {
        k = split(refs[group], list, " ")
        for (j = 1; j <= k; ++j) {
          row(op, size, implText(list[j]), ours[group], refTime[group, list[j]], target(op, size, list[j]))
          printed = 1
        }
      }
      if (group in cross) {
        bound = limit[op "|" size "|" crossKey[group]]
        # Our growth from 1024 to 2048 bits may be at most that of GMP in the
        # same run: then our ratio to GMP at 2048 bits is no higher than at 1024.
        if (group == "modExp|bits:2048" && time["modExp/gmp/bits:1024"] > 0) {
          bound = time["modExp/gmp/bits:2048"] / time["modExp/gmp/bits:1024"]
        }
        row(op, size, crossLabel[group], ours[group], time[cross[group]], bound)
        printed = 1
      }
      if (op == "registration") {
        # Each against the encryption of the same record measured in the
        # same loop, not in the encryptRecord benchmark seconds away.
        name = "registration/ours/" size
        wall = encryptWall[name]; encryption = encryptCpu[name]; client = clientCpu[name]
        row(op, size, "its encryption, same loop", ours[group], wall == "-" ? "failed" : wall,
            target(op, size, "encryptRecord ours"))
        row("  CPU time", size, "its encryption, same loop", cpu[name],
            encryption == "-" ? "failed" : encryption, "")
        row("  client CPU", size, "its encryption, same loop", client == "-" ? "failed" : client,
            encryption == "-" ? "failed" : encryption, target(op, size, "client CPU"))
        printed = 1
      }
      if (!printed) row(op, size, "-", ours[group], "", "")
    }
    print ""
    print "Medians of " repetitions " interleaved repetitions, wall-clock time; ratio = ours / reference" \
          " (below 1: ours is faster)."
    print "Registrations are set against the same encryption run on the calling thread after each" \
          " registration. \"CPU time\" rows: the CPU time of every thread of the registration (client" \
          " and test service); \"client CPU\" rows: the calling thread'"'"'s alone."
    print "modExp at 2048 bits against ours at 1024: the target is GMP'"'"'s growth from 1024 to" \
          " 2048 bits in this run."
    print "Load average (1, 5, 15 min) before the run: " loadBefore "; after: " loadAfter "." \
          (pinnedCpu == "none" ? "" : " Every benchmark ran on CPU " pinnedCpu ".")
  }
' "$results/medians.tsv" | tee "$results/table.md"
