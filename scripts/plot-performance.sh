#!/usr/bin/env bash
# Draws docs/performance.png from the medians of the last scripts/bench.sh
# run: time against modulus size for modExp and one ElGamal block, ours beside
# GMP and OpenSSL; and time against text length for the encryption of a
# registration record and for a whole registration on loopback. Log scales.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${REGISTER_BENCH_DIR:-build/bench}
medians=$build/results/medians.tsv
output=${1:-docs/performance.png}
if [ ! -s "$medians" ]; then
  echo "no benchmark results in $medians: run scripts/bench.sh first" >&2
  exit 1
fi
scripts/install-deps.sh plot

data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT

# One column per implementation, one row per size, in microseconds; a missing
# figure is "NaN", which gnuplot leaves out.
series() { # operation, size key, implementations...
  local op=$1 key=$2
  shift 2
  awk -F '\t' -v op="$op" -v key="$key" -v impls="$*" '
    {
      n = split($4, part, "/")
      if (part[1] != op || $5 == "failed") next
      size = ""; bits = ""
      for (i = 3; i <= n; ++i) {
        split(part[i], kv, ":")
        if (kv[1] == key) size = kv[2]
        else bits = bits kv[1] kv[2]
      }
      if (size == "") next
      column = part[2] bits
      value[size, column] = $5 / 1e3
      if (!(size in seen)) { seen[size] = 1; sizes[++count] = size + 0 }
    }
    END {
      for (i = 2; i <= count; ++i) {
        for (j = i; j > 1 && sizes[j - 1] > sizes[j]; --j) {
          t = sizes[j]; sizes[j] = sizes[j - 1]; sizes[j - 1] = t
        }
      }
      k = split(impls, list, " ")
      for (i = 1; i <= count; ++i) {
        line = sizes[i]
        for (j = 1; j <= k; ++j) {
          line = line " " (((sizes[i], list[j]) in value) ? value[sizes[i], list[j]] : "NaN")
        }
        print line
      }
    }
  ' "$medians"
}

series modExp bits ours gmp openssl >"$data/modexp.dat"
series elGamalBlock bits ours gmp >"$data/block.dat"
series encryptRecord text oursbits1024 gmpbits1024 oursbits2048 gmpbits2048 >"$data/encrypt.dat"
series registration text oursbits1024 oursbits2048 >"$data/registration.dat"
paste -d ' ' "$data/encrypt.dat" <(cut -d ' ' -f 2- "$data/registration.dat") >"$data/records.dat"

gnuplot <<EOF
set terminal pngcairo size 1400,560 font "DejaVu Sans,10"
set output "$output"
set multiplot layout 1,2
ours = "#9400d3"; gmp = "#009e73"; openssl = "#0072b2"; whole = "#e69f00"
set grid
set key top left
set logscale y
set format y "10^{%L}"
set title "Modular exponentiation and one ElGamal block"
set xlabel "modulus size (bits)"
set ylabel "time (microseconds, log scale)"
set xrange [480:2080]
set xtics 512,256,2048
plot "$data/modexp.dat" using 1:2 with linespoints lw 2 pt 7 lc rgb ours title "modExp, ours", \
     "" using 1:3 with linespoints lw 2 pt 5 lc rgb gmp title "mpz\\\\_powm (GMP)", \
     "" using 1:4 with linespoints lw 2 pt 9 lc rgb openssl title "BN\\\\_mod\\\\_exp (OpenSSL)", \
     "$data/block.dat" using 1:2 with linespoints lw 2 pt 6 dt 2 lc rgb ours title "ElGamal block, ours", \
     "" using 1:3 with linespoints lw 2 pt 4 dt 2 lc rgb gmp title "ElGamal block, GMP"
set title "Registration record of a given text length"
set xlabel "text length (bytes, log scale)"
set ylabel "time (microseconds, log scale)"
set logscale x
set autoscale x
set xtics auto
set format x "%g"
plot "$data/records.dat" using 1:2 with linespoints lw 2 pt 7 lc rgb ours title "encryption, ours, 1024 bits", \
     "" using 1:3 with linespoints lw 2 pt 5 lc rgb gmp title "encryption, GMP, 1024 bits", \
     "" using 1:6 with linespoints lw 2 pt 9 lc rgb whole title "whole registration on loopback, 1024 bits", \
     "" using 1:4 with linespoints lw 2 pt 6 dt 2 lc rgb ours title "encryption, ours, 2048 bits", \
     "" using 1:5 with linespoints lw 2 pt 4 dt 2 lc rgb gmp title "encryption, GMP, 2048 bits", \
     "" using 1:7 with linespoints lw 2 pt 8 dt 2 lc rgb whole title "whole registration on loopback, 2048 bits"
unset multiplot
EOF
echo "wrote $output" >&2
