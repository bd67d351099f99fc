# Sourced by the real-window tests: works the panel's window with xdotool and reads its lamps off a
# screenshot. Call find_panel_window once the panel was started; screenshots go to $work/shot.png.

find_panel_window() {
    window=$(timeout 10 xdotool search --sync --name "^Test USB DIO$" | head -1)
    [ -n "$window" ] || { echo "the panel's window did not appear" >&2; exit 1; }
    sleep 0.3
    read -r x0 y0 < <(xdotool getwindowgeometry "$window" |
        awk '/Position/ { split($2, p, ","); print p[1], p[2] }')
}

click() { xdotool mousemove $((x0 + $1)) $((y0 + $2)) click 1; sleep 0.3; }
shoot() { import -window root "$work/shot.png"; }

lamp_centre() { # lamp number -> client x y
    local k=$1 index=$(($1 - 1))
    local right=$(( (index / 8) % 2 == 0 ? 224 : 464 )) top=$(( k <= 16 ? 168 : 232 ))
    echo $((right - 24 * (index % 8) + 8)) $((top + 8))
}

port_value() { # first lamp -> value the eight lamps show in the last shot, or "?" for another colour
    local first=$1 value=0 bit colour
    for bit in $(seq 0 7); do
        read -r lx ly < <(lamp_centre $((first + bit)))
        colour=$(convert "$work/shot.png" -format "%[pixel:p{$((x0 + lx)),$((y0 + ly))}]" info:)
        case "$colour" in
        "srgb(255,0,0)" | red) value=$((value | 1 << bit)) ;;
        "srgb(0,255,0)" | lime) ;;
        *) echo "?"; return ;;
        esac
    done
    printf '0x%02X\n' "$value"
}
