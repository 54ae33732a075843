# Sourced by the Windows tests: the Wine prefix they run in, and the
# registry's default values read back.

# wine_prefix TEST WORK: the caller's $WINEPREFIX when set, else a fresh
# prefix in WORK/wine (own_prefix=1) with a wineserver that stays until
# wine_prefix_end: one that a program's start brought up would hold that
# program's output open for seconds after it ends.
wine_prefix() {
    if [ -z "${WINEPREFIX:-}" ]; then
        # own_prefix stays in this shell: a test run under this one must
        # not end the wineserver it shares.
        export WINEPREFIX=$2/wine
        own_prefix=1
        wineboot -i >/dev/null 2>&1 || { echo "$1: wineboot failed" >&2; exit 1; }
        wineserver -p </dev/null >/dev/null 2>&1
    fi
    export WINEDEBUG=-all
}

# Ends the wineserver of a prefix wine_prefix made; leaves a caller's alone.
wine_prefix_end() {
    if [ -n "${own_prefix:-}" ]; then wineserver -k 2>/dev/null; fi
    return 0
}

# The default value of a registry key in the 64-bit view; fails without the
# key.
registry_default() {
    wine reg query "$1" /ve /reg:64 2>/dev/null | tr -d '\r' | sed -n 's/^ *(Default) *REG_SZ *//p' | grep .
}
