#!/usr/bin/env bash
# Fails when a file under src includes against the direction of the layers. Every include of the
# program's own headers names its tree and folder from src ("core/net/CFetch.h",
# "gui/common/QtText.h"); "../" paths and tree-less names are refused.
#
# The core, lowest first; it never includes Qt or the GUI, since it builds and runs without them:
#   util <- records <- platform <- net <- watch <- links <- app, with ports (interfaces only)
#   beside records, usable from platform upwards; feed beside watch, on net; history beside net,
#   on platform, used from watch upwards; lists beside links, on watch, used by app.
# The GUI may include any of the core. Its folders, lowest first:
#   common <- dialogs <- editor <- links; watch, feed and history on common alone; notify (QtCore
#   and QtDBus only, used by the headless mode too) on nothing; app on top.
# The build enforces the core's order for sources (src/core/CMakeLists.txt); this also covers
# headers that no source includes, and the GUI.
set -euo pipefail
src=${1:-$(dirname "$0")/../src}

declare -A allowed=(
  [core/util]="util"
  [core/records]="util records"
  [core/ports]="util records ports"
  [core/platform]="util records ports platform"
  [core/history]="util records ports platform history"
  [core/net]="util records ports platform net"
  [core/watch]="util records ports platform history net watch"
  [core/links]="util records ports platform history net watch links"
  [core/lists]="util records ports platform history net watch lists"
  [core/app]="util records ports platform history net watch links lists app"
  [core/feed]="util records ports platform net feed"
  [gui/common]="common"
  [gui/dialogs]="common dialogs"
  [gui/editor]="common dialogs editor"
  [gui/links]="common dialogs editor links"
  [gui/watch]="common watch"
  [gui/feed]="common feed"
  [gui/history]="common history"
  [gui/notify]="notify"
  [gui/app]="common dialogs editor links watch feed history notify app"
)

status=0
refuse() {
  echo "$1"
  status=1
}

for dir in "$src"/core/*/ "$src"/gui/*/; do
  tree=$(basename "$(dirname "$dir")")
  layer="$tree/$(basename "$dir")"
  if [ -z "${allowed[$layer]+x}" ]; then
    refuse "src/$layer: folder without a place in the layer order (scripts/check-includes.sh)"
    continue
  fi
  while IFS=: read -r file line text; do
    target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*([<"][^>"]*[>"]).*/\1/' <<<"$text")
    where="${file#"$src"/}:$line"
    where="src/${where#/}"
    name=${target:1:${#target}-2}
    case "$target" in
      \"../* | \"*/../*)
        refuse "$where: relative include $target (name the tree and folder from src)"
        ;;
      \"core/*/* | \"gui/*/*)
        # "tree/folder/..." of the including file's tree, or the core from the GUI.
        to_tree=${name%%/*}
        rest=${name#*/}
        folder=${rest%%/*}
        if [ ! -d "$src/$to_tree/$folder" ]; then
          refuse "$where: $target names no folder of src"
        elif [ "$tree" = core ] && [ "$to_tree" = gui ]; then
          refuse "$where: the core does not include the GUI ($target)"
        elif [ "$to_tree" = "$tree" ] && [[ " ${allowed[$layer]} " != *" $folder "* ]]; then
          refuse "$where: $layer must not include $target ($layer may include: ${allowed[$layer]})"
        fi
        ;;
      \"ui_*.h\" | \"*.moc\")
        # Generated beside the source by the build (forms, meta-objects).
        ;;
      \"*)
        refuse "$where: include $target without its tree and folder (\"core/…\" or \"gui/…\")"
        ;;
      \<Q* | \<qt*/*)
        if [ "$tree" = core ]; then
          refuse "$where: the core does not include Qt ($target)"
        fi
        ;;
    esac
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include' "$dir" --include='*.h' --include='*.cpp' || true)
done
if [ "$status" -eq 0 ]; then
  echo "include direction: ok"
fi
exit "$status"
