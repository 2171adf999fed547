# Steps for scripts/screenshots.sh -a: the result list with the pointer resting on a result cut
# at its column's edge (the item whose server refuses), showing the whole text as its tooltip.
sleep 3 # the first checks report their rows
id=$(window_of "$title")
left=$(xwininfo -id "$id" | sed -n 's/.*Absolute upper-left X: *//p')
top=$(xwininfo -id "$id" | sed -n 's/.*Absolute upper-left Y: *//p')
# The result column begins after the time (70) and page (240) columns; rows are some 18 pixels
# high below the titles. The rows come in the order the checks end: try each until a tip shows.
for row in 0 1 2 3 4; do
  top_windows >"$work/before"
  xdotool mousemove $((left + 11 + 310 + 70)) $((top + 102 + 18 * row))
  if poll 20 new_top_window; then
    shot result-tooltip
    break
  fi
done
