# Shell helpers shared by the platform's start scripts and command stand-ins.
# Sourced (never run) by the scripts under etc/init.d, bin, sbin, usr/bin and
# usr/local/www/cgi-bin of a system root.
#
# The system root is $DEEPVAULT_ROOT when it is set; otherwise the folder the
# calling script was installed under (the caller passes it to dv_init), which
# is "/" on the device itself. Every path below is that root plus the logical
# path. Processes are only ever looked up "by name" inside a sandbox: a
# process belongs to the sandbox when its environment carries the same
# DEEPVAULT_ROOT. On the real root nothing is matched by name.

# dv_init ROOT_OF_CALLER: sets DV_ROOT ("" for the real root), DV_CALLS (the
# call log of the stand-ins) and the environment the daemons expect.
dv_init() {
	if [ -n "${DEEPVAULT_ROOT:-}" ]; then
		DV_ROOT=$DEEPVAULT_ROOT
	else
		DV_ROOT=$1
	fi
	# Normalise: absolute, no trailing slash, "" for "/".
	if [ -n "$DV_ROOT" ] && [ -d "$DV_ROOT" ]; then
		DV_ROOT=$(cd "$DV_ROOT" && pwd -P)
	fi
	while [ "${DV_ROOT%/}" != "$DV_ROOT" ]; do DV_ROOT=${DV_ROOT%/}; done
	DV_CALLS=$DV_ROOT/var/log/standins.log
	if [ -n "$DV_ROOT" ]; then
		DEEPVAULT_ROOT=$DV_ROOT
		export DEEPVAULT_ROOT
		case ":$PATH:" in
		"$DV_ROOT/bin:"*) ;;
		*) PATH=$DV_ROOT/bin:$DV_ROOT/sbin:$DV_ROOT/usr/bin:$PATH ;;
		esac
		export PATH
		if [ -z "${DEEPVAULT_LOG:-}" ]; then
			DEEPVAULT_LOG=dir:$DV_ROOT/var/log
			export DEEPVAULT_LOG
		fi
	fi
}

# dv_record NAME ARGS...: appends one line "NAME ARGS..." to the call log.
dv_record() {
	[ -d "$DV_ROOT/var/log" ] || mkdir -p "$DV_ROOT/var/log" 2>/dev/null
	printf '%s\n' "$*" >>"$DV_CALLS" 2>/dev/null
	return 0
}

# dv_path LOGICAL: the path of a logical file inside the root. A path that
# already lies inside the root is returned unchanged.
dv_path() {
	case "$1" in
	"$DV_ROOT"/*) printf '%s\n' "$1" ;;
	/*) printf '%s\n' "$DV_ROOT$1" ;;
	*) printf '%s\n' "$1" ;;
	esac
}

# dv_setting FILE KEY: the value of a KEY=value line of a shell-style file,
# with blanks and quotes around it removed; empty when absent.
dv_setting() {
	[ -r "$1" ] || return 0
	sed -n "s/^[ 	]*$2[ 	]*=[ 	]*//p" "$1" | head -n 1 |
		sed "s/^[ 	'\"]*//; s/[ 	'\"]*\$//" | tr -d '\r'
}

# dv_alive PID: true when PID names a running (not zombie) process.
dv_alive() {
	[ -r "/proc/$1/stat" ] || return 1
	_st=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1)
	[ -n "$_st" ] && [ "$_st" != Z ] && [ "$_st" != X ]
}

# dv_in_sandbox PID: true when the process runs with our DEEPVAULT_ROOT.
dv_in_sandbox() {
	[ -n "$DV_ROOT" ] || return 1
	_r=$(tr '\0' '\n' <"/proc/$1/environ" 2>/dev/null | sed -n 's/^DEEPVAULT_ROOT=//p' | head -n 1)
	[ -n "$_r" ] || return 1
	if [ -d "$_r" ]; then _r=$(cd "$_r" && pwd -P); fi
	while [ "${_r%/}" != "$_r" ]; do _r=${_r%/}; done
	[ "$_r" = "$DV_ROOT" ]
}

# dv_comm_is PID NAME: true when the process's command name is NAME (the
# kernel keeps the first 15 bytes of it).
dv_comm_is() {
	_want=$(printf '%s' "$2" | cut -c1-15)
	_have=$(cat "/proc/$1/comm" 2>/dev/null)
	[ "$_have" = "$_want" ]
}

# dv_pids_named NAME: pids of the live sandbox processes called NAME, except
# this shell.
dv_pids_named() {
	[ -n "$DV_ROOT" ] || return 0
	for _d in /proc/[0-9]*; do
		_p=${_d#/proc/}
		[ "$_p" = "$$" ] && continue
		dv_comm_is "$_p" "$1" || continue
		dv_alive "$_p" || continue
		dv_in_sandbox "$_p" || continue
		echo "$_p"
	done
}

# dv_pidfile NAME: the pid file the start scripts keep for NAME.
dv_pidfile() {
	printf '%s\n' "$DV_ROOT/var/run/$1.pid"
}

# dv_pids_of NAME [PIDFILE]: the pid from the pid file (if it is still that
# program) and every sandbox process of that name, one per line, no repeats.
dv_pids_of() {
	_pf=${2:-$(dv_pidfile "$1")}
	{
		if [ -r "$_pf" ]; then
			_p=$(tr -dc '0-9' <"$_pf")
			if [ -n "$_p" ] && dv_alive "$_p" && dv_comm_is "$_p" "$1"; then
				echo "$_p"
			fi
		fi
		dv_pids_named "$1"
	} | sort -u
}

# dv_wait_queue KEY SECONDS: waits until a SysV message queue with that key
# (decimal) exists in our IPC namespace; false on time-out.
dv_wait_queue() {
	[ -r /proc/sysvipc/msg ] || {
		sleep 1
		return 0
	}
	_n=$(($2 * 10))
	while [ "$_n" -gt 0 ]; do
		awk -v k="$1" 'NR > 1 && $1 == k { found = 1 } END { exit !found }' /proc/sysvipc/msg && return 0
		sleep 0.1
		_n=$((_n - 1))
	done
	return 1
}

# dv_exec_closed PROGRAM ARGS...: replaces the shell by PROGRAM with every
# descriptor above 2 closed, so that a daemon started from a server process
# (a setup connection) does not inherit its sockets and keep its port busy.
dv_exec_closed() {
	if command -v bash >/dev/null 2>&1; then
		exec bash -c 'for fd in /proc/$$/fd/*; do
			n=${fd##*/}
			[ "$n" -gt 2 ] 2>/dev/null && eval "exec $n>&-"
		done 2>/dev/null
		exec "$0" "$@"' "$@"
	fi
	exec "$@"
}

# dv_start NAME [--pidname P] [--queue KEY] [ARGS...]: starts usr/bin/NAME in
# the background with the root's environment, writes var/run/P.pid (P
# defaults to NAME), and with --queue waits until the program has created
# its SysV queue, so that the next program finds it. Output goes to
# var/log/NAME.out. A program that is not installed is skipped.
dv_start() {
	_name=$1
	shift
	_pidname=$_name
	_queue=
	while :; do
		case "$1" in
		--pidname)
			_pidname=$2
			shift 2
			;;
		--queue)
			_queue=$2
			shift 2
			;;
		*) break ;;
		esac
	done
	_bin=$DV_ROOT/usr/bin/$_name
	if [ ! -x "$_bin" ]; then
		echo "$_name: not installed, skipped"
		return 0
	fi
	_pf=$(dv_pidfile "$_pidname")
	if [ -r "$_pf" ]; then
		_p=$(tr -dc '0-9' <"$_pf")
		if [ -n "$_p" ] && dv_alive "$_p" && dv_comm_is "$_p" "$_name"; then
			echo "$_name: already running (pid $_p)"
			return 0
		fi
	fi
	mkdir -p "$DV_ROOT/var/run" "$DV_ROOT/var/log"
	(
		DEEPVAULT_FOREGROUND=1
		export DEEPVAULT_FOREGROUND
		dv_exec_closed "$_bin" "$@"
	) </dev/null >>"$DV_ROOT/var/log/$_name.out" 2>&1 &
	_p=$!
	echo "$_p" >"$_pf"
	if [ -n "$_queue" ]; then
		_n=50
		while [ "$_n" -gt 0 ]; do
			if [ -r /proc/sysvipc/msg ] &&
				awk -v k="$_queue" 'NR > 1 && $1 == k { f = 1 } END { exit !f }' /proc/sysvipc/msg; then
				break
			fi
			dv_alive "$_p" || break
			sleep 0.1
			_n=$((_n - 1))
		done
	fi
	if dv_alive "$_p"; then
		echo "$_name: started (pid $_p)"
	else
		echo "$_name: ended at once, see $DV_ROOT/var/log/$_name.out"
		rm -f "$_pf"
	fi
	return 0
}

# dv_stop [--except PID] [--timeout SECONDS] NAME...: sends SIGTERM to every
# process of the given names (pid file first, then by name inside the
# sandbox), waits until all have ended, and kills what is left after the
# time-out (default 10 s). Pid files of the names are removed.
dv_stop() {
	_except=
	_timeout=10
	while :; do
		case "$1" in
		--except)
			_except=$2
			shift 2
			;;
		--timeout)
			_timeout=$2
			shift 2
			;;
		*) break ;;
		esac
	done
	_all=
	for _name in "$@"; do
		for _pf in "$DV_ROOT/var/run/$_name.pid" "$DV_ROOT/var/run/$_name".*.pid; do
			[ -e "$_pf" ] || continue
			for _p in $(dv_pids_of "$_name" "$_pf"); do
				[ "$_p" = "$_except" ] || _all="$_all $_p"
			done
		done
		for _p in $(dv_pids_named "$_name"); do
			[ "$_p" = "$_except" ] || _all="$_all $_p"
		done
	done
	_all=$(echo $_all | tr ' ' '\n' | sort -u | tr '\n' ' ')
	for _p in $_all; do
		kill -TERM "$_p" 2>/dev/null
	done
	_n=$((_timeout * 10))
	while [ "$_n" -gt 0 ]; do
		_left=
		for _p in $_all; do
			dv_alive "$_p" && _left="$_left $_p"
		done
		[ -z "$_left" ] && break
		sleep 0.1
		_n=$((_n - 1))
	done
	for _p in $_all; do
		if dv_alive "$_p"; then
			echo "pid $_p did not stop, killed"
			kill -KILL "$_p" 2>/dev/null
		fi
	done
	for _name in "$@"; do
		rm -f "$DV_ROOT/var/run/$_name.pid" "$DV_ROOT/var/run/$_name".*.pid
		echo "$_name: stopped"
	done
	return 0
}

# dv_status NAME...: prints "NAME: running (pids)" or "NAME: stopped".
dv_status() {
	_rc=0
	for _name in "$@"; do
		_ps=
		for _pf in "$DV_ROOT/var/run/$_name.pid" "$DV_ROOT/var/run/$_name".*.pid; do
			[ -e "$_pf" ] && _ps="$_ps $(dv_pids_of "$_name" "$_pf")"
		done
		_ps="$_ps $(dv_pids_named "$_name")"
		_ps=$(echo $_ps | tr ' ' '\n' | sort -u | tr '\n' ' ')
		if [ -n "${_ps% }" ]; then
			echo "$_name: running (${_ps% })"
		else
			echo "$_name: stopped"
			_rc=3
		fi
	done
	return $_rc
}

# dv_real_command NAME: the first NAME on PATH outside the root (the host's
# own command that a stand-in wraps), or nothing.
dv_real_command() {
	_old_ifs=$IFS
	IFS=:
	for _d in $PATH; do
		case "$_d" in
		"$DV_ROOT"/* | "") continue ;;
		esac
		if [ -x "$_d/$1" ] && [ ! -d "$_d/$1" ]; then
			IFS=$_old_ifs
			printf '%s\n' "$_d/$1"
			return 0
		fi
	done
	IFS=$_old_ifs
	for _d in /bin /usr/bin /sbin /usr/sbin; do
		if [ -x "$_d/$1" ]; then
			printf '%s\n' "$_d/$1"
			return 0
		fi
	done
	return 1
}
