# shellcheck shell=bash
# apt-get as every script of this tree calls it: no questions, and up to 5
# minutes' wait for the package manager's lock instead of failing at once
# (a desktop's unattended upgrades hold it for minutes). Sourced; run it as
#   [sudo] "${VEXA_APT_GET[@]}" install -y PACKAGE...
# shellcheck disable=SC2034 # used by the scripts that source this
VEXA_APT_GET=(env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300)
