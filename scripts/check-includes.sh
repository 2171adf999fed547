#!/usr/bin/env bash
# Fails when a file under src/core includes upwards. The layers, lowest first:
#   util <- records <- platform <- net <- watch <- links <- app, with ports (interfaces only)
#   beside records, usable from platform upwards.
# Every include names its folder from src/core ("net/CFetch.h"); "../" paths and Qt headers are
# refused as well, since the core builds and runs without Qt. The build enforces the same order
# for sources (src/core/CMakeLists.txt); this also covers headers that no source includes.
set -euo pipefail
core=${1:-$(dirname "$0")/../src/core}

declare -A allowed=(
  [util]="util"
  [records]="util records"
  [ports]="util records ports"
  [platform]="util records ports platform"
  [net]="util records ports platform net"
  [watch]="util records ports platform net watch"
  [links]="util records ports platform net watch links"
  [app]="util records ports platform net watch links app"
  [feed]="util records ports platform net feed"
)

status=0
for dir in "$core"/*/; do
  layer=$(basename "$dir")
  if [ -z "${allowed[$layer]+x}" ]; then
    echo "src/core/$layer: folder without a place in the layer order (scripts/check-includes.sh)"
    status=1
    continue
  fi
  while IFS=: read -r file line text; do
    target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^>"]*)[>"].*/\1/' <<<"$text")
    where="src/core/$layer/$(basename "$file"):$line"
    case "$target" in
      ../* | */../*)
        echo "$where: relative include \"$target\" (name the folder from src/core)"
        status=1
        ;;
      Q* | qt*/*)
        echo "$where: the core does not include Qt ($target)"
        status=1
        ;;
      */*)
        folder=${target%%/*}
        if [ -d "$core/$folder" ] && [[ " ${allowed[$layer]} " != *" $folder "* ]]; then
          echo "$where: $layer must not include $target ($layer may include: ${allowed[$layer]})"
          status=1
        fi
        ;;
    esac
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include' "$dir" --include='*.h' --include='*.cpp' || true)
done
if [ "$status" -eq 0 ]; then
  echo "include direction: ok"
fi
exit "$status"
