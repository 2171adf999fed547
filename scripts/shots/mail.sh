# Steps for scripts/screenshots.sh -a: the mail settings with a login over STARTTLS, typed with
# the keyboard as a user would (the port follows the mode).
sleep 2 # the first checks report their rows
key alt+o
key s
wait_window "環境設定"
# The focus starts on the server; the account is two fields on.
xdotool type --delay 20 "smtp.example.jp"
key Tab Tab
xdotool type --delay 20 "me@example.jp"
key alt+e
key Down
key alt+u
xdotool type --delay 20 "me@example.jp"
key alt+p
xdotool type --delay 20 "secret"
# The first checks' notices stand over the dialog's corner.
dunstctl close-all
settle
shot_window mail-settings
key Escape
