#!/bin/sh
# Makes the seeds of the journal fuzzer: small files that the real tool left
# holding an interrupted run, each stopped by a failed flush that strace
# injects. In a file of one zone flush 1 follows the first slot, 2 the piece
# hashes and the next slot, 3 the rewritten data, 4 the record of "en".
# usage: make_journal_seeds.sh TAVO OUT_DIR
set -eu
tavo=$(realpath "$1")
out=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# name, data size, keyword, way, factor, failing flush
while read -r name size keyword way factor flush; do
  python3 -c "import random, sys; r = random.Random($size)
sys.stdout.buffer.write(bytes(r.getrandbits(8) for _ in range($size)))" >f.bin
  # The tool exits with 1 when it succeeds.
  if [ "$keyword" = de ]; then "$tavo" f.bin en "$way" "$factor" >/dev/null || true; fi
  strace -f -o /dev/null -e inject=fdatasync:error=EIO:when="$flush" \
    "$tavo" f.bin "$keyword" "$way" "$factor" >/dev/null 2>&1 || true
  if ! "$tavo" f.bin x=xxx | grep -q "holds an interrupted run"; then
    echo "$name: not interrupted" >&2
    exit 1
  fi
  cp f.bin "$out/$name"
done <<EOF
en_way3_flush1 1000 en 3 42 1
en_way1_flush2 3000 en 1 200 2
en_way4_flush4 2000 en 4 0 4
de_way2_flush3 2500 de 2 7 3
rxen_way3_flush2 1536 rxen 3 255 2
rxen_way1_flush3 513 rxen 1 1 3
rxde_way4_flush3 3000 rxde 4 9 3
EOF
