# shellcheck shell=sh
# Shared by the package's maintainer scripts (debian/rules puts it in place of
# their #PROXYWARDEN_FUNCTIONS# line).

# may_act ACTION: whether the running system's processes are this package's
# to act on with ACTION: not when it is installed into another root
# (DPKG_ROOT) or into a chroot beside the running system, whose process table
# is not its own, and not where policy-rc.d forbids ACTION.
may_act() {
	[ -z "${DPKG_ROOT:-}" ] && ! ischroot --default-true || return 1
	command -v policy-rc.d > /dev/null || return 0
	policy-rc.d proxywarden.service "$1" > /dev/null 2>&1 || [ $? != 101 ]
}

# proxy_runs: whether the appliance's proxy runs, as the program judges it;
# false once the program or its helper library is gone.
proxy_runs() {
	[ -x /usr/libexec/proxywarden/proxy-runs ] && /usr/libexec/proxywarden/proxy-runs
}
