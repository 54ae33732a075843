# Sourced by the end-to-end tests: a throwaway user (home, config home and
# current directory below $work), removed on exit, so no test touches the
# real user's files; and fail().
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
unset APPDATA USERPROFILE windir
mkdir -p "$XDG_CONFIG_HOME" "$work/cwd"
cd "$work/cwd"
fail() { echo "FAIL: $*"; exit 1; }
