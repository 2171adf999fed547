# Steps for scripts/screenshots.sh -a: the 操作 menu with インポート and エクスポート, and the
# message an import ends with (a list with a duplicate and an address that is refused).
cat >"$work/import.txt" <<'LIST'
# pages from elsewhere
https://example.org/news
javascript:alert(1)
https://example.org/news
LIST
sleep 2 # the first checks report their rows
key alt+o
settle
shot lists-menu
key i
wait_window "インポートするファイルを選択"
xdotool type --delay 20 "$work/import.txt"
key Return
settle
shot_window lists-import-result
key Return
settle
# The export chooser with its three formats; "x" is also the exit's letter, so it only selects.
key alt+o
settle
key x
key Return
wait_window "エクスポートするファイルを選択"
shot_window lists-export-chooser
key Escape
settle
