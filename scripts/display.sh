# Sourced by the run and test scripts: a virtual X display of our own.
# start_display sets DISPLAY to a free display number it picked; stop_display ends it.
VOSK_XVFB_PID=""

start_display() {
    numberfile=$(mktemp)
    # -displayfd makes Xvfb choose a free number and report it once listening.
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$numberfile" >/dev/null 2>&1 &
    VOSK_XVFB_PID=$!
    for _ in $(seq 1 100); do
        [ -s "$numberfile" ] && break
        sleep 0.1
    done
    if [ ! -s "$numberfile" ]; then
        echo "Xvfb did not start" >&2
        rm -f "$numberfile"
        return 1
    fi
    DISPLAY=":$(tr -d '[:space:]' <"$numberfile")"
    export DISPLAY
    rm -f "$numberfile"
}

stop_display() {
    if [ -n "$VOSK_XVFB_PID" ]; then
        kill "$VOSK_XVFB_PID" 2>/dev/null || true
        wait "$VOSK_XVFB_PID" 2>/dev/null || true
        VOSK_XVFB_PID=""
    fi
}
