# Sourced by the scripts that need a display or a database server.
# start_xvfb: exports DISPLAY, starting a private Xvfb when none is reachable.
# start_postgres [durable]: starts a throw-away PostgreSQL server and exports QP_PG_DSN_CONFIG.
# start_mariadb: starts a throw-away MariaDB server and exports QP_MARIADB_DSN_CONFIG.
# stop_services: stops whatever these started.
QP_XVFB_PID=""
QP_PG_DIR=""
QP_MARIA_DIR=""
QP_MARIA_PID=""

# skips CALLER NAME WHY [LOG]: says on standard error that NAME's tests will skip and why,
# with the end of the log that tells more.
skips() {
  echo "$1: $3; $2 tests will skip${4:+:}" >&2
  [ -n "${4:-}" ] && tail -n 5 "$4" >&2 2>/dev/null
  return 0
}

start_xvfb() {
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then return 0; fi
  local n
  for n in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    # -noreset: by default the server resets when its last client leaves, and a program
    # that connects meanwhile cannot open the display.
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
    QP_XVFB_PID=$!
    export DISPLAY=":$n"
    local i
    for i in $(seq 1 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && return 0
      sleep 0.1
    done
    kill "$QP_XVFB_PID" 2>/dev/null
  done
  echo "could not start Xvfb" >&2
  return 1
}

# start_postgres: initdb into a temporary folder, start the server on a free port of
# 127.0.0.1 (and a unix socket in that folder), create the user and database qp_test, and
# write an odbcinst.ini and odbc.ini (data source "qp_pg") beside it. Exports
# QP_PG_DSN_CONFIG (that odbc.ini), which the ODBC tests read. Never fails the caller: when
# the server cannot start it says why and the PostgreSQL test cases skip.
# The tests' server does not flush its writes to the disk (fsync off): a crash of the machine
# may lose it, which does not matter for a throw-away database, and the tests run faster.
# start_postgres durable starts one that flushes every commit, as a real server does; the
# benchmarks measure against that one.
start_postgres() {
  unset QP_PG_DSN_CONFIG
  local flush="-F"
  case "${1:-}" in
    "") ;;
    durable) flush="-c fsync=on -c synchronous_commit=on -c full_page_writes=on" ;;
    *) echo "start_postgres: unknown argument '$1' (durable or nothing)" >&2; return 0 ;;
  esac
  local bindir driver
  bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  driver=$(ls /usr/lib/*/odbc/psqlodbcw.so 2>/dev/null | head -n 1)
  if [ -z "$bindir" ] || [ ! -x "$bindir/initdb" ]; then
    skips start_postgres PostgreSQL "PostgreSQL server programs not found"
    return 0
  fi
  if [ -z "$driver" ]; then
    skips start_postgres PostgreSQL "psqlodbcw.so not found"
    return 0
  fi
  local dir
  dir=$(mktemp -d "${TMPDIR:-/tmp}/qp-pg-XXXXXX") || return 0
  chmod 755 "$dir"
  # The server refuses to run as root.
  local as=()
  if [ "$(id -u)" -eq 0 ]; then
    if ! id postgres >/dev/null 2>&1; then
      skips start_postgres PostgreSQL "running as root and there is no postgres user"
      rm -rf "$dir"
      return 0
    fi
    chown postgres "$dir"
    as=(runuser -u postgres --)
  fi
  if ! "${as[@]}" "$bindir/initdb" -D "$dir/data" -A trust -U qp_admin -E UTF8 --locale=C \
      --no-sync >"$dir/initdb.log" 2>&1; then
    skips start_postgres PostgreSQL "initdb failed" "$dir/initdb.log"
    rm -rf "$dir"
    return 0
  fi
  QP_PG_DIR=$dir
  local port started=""
  for port in $(seq 55432 55482); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && continue
    if "${as[@]}" "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
        -o "-p $port -k $dir -c listen_addresses=127.0.0.1 $flush" start >/dev/null 2>&1; then
      started=$port
      break
    fi
    grep -q "already in use" "$dir/server.log" 2>/dev/null || break
  done
  if [ -z "$started" ]; then
    skips start_postgres PostgreSQL "the server did not start" "$dir/server.log"
    stop_postgres
    return 0
  fi
  if ! "${as[@]}" "$bindir/psql" -q -h "$dir" -p "$started" -U qp_admin -d postgres \
      -c "CREATE USER qp_test PASSWORD 'qp_test'" -c "CREATE DATABASE qp_test OWNER qp_test" \
      >"$dir/psql.log" 2>&1; then
    skips start_postgres PostgreSQL "creating the test database failed" "$dir/psql.log"
    stop_postgres
    return 0
  fi
  printf '[PostgreSQL Unicode]\nDescription = PostgreSQL ODBC driver (Unicode)\nDriver = %s\n' \
    "$driver" >"$dir/odbcinst.ini"
  # The driver's own defaults, as a user's data source has them (text is then long text).
  printf '[qp_pg]\nDriver = %s\nServername = 127.0.0.1\nPort = %s\nDatabase = qp_test\nUsername = qp_test\nPassword = qp_test\n' \
    "$driver" "$started" >"$dir/odbc.ini"
  export QP_PG_DSN_CONFIG="$dir/odbc.ini"
  echo "start_postgres: PostgreSQL${1:+ ($1)} on 127.0.0.1:$started, ODBC data source qp_pg in $dir/odbc.ini"
  return 0
}

stop_postgres() {
  [ -n "$QP_PG_DIR" ] || return 0
  local bindir as=()
  bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  [ "$(id -u)" -eq 0 ] && as=(runuser -u postgres --)
  if [ -f "$QP_PG_DIR/data/postmaster.pid" ]; then
    "${as[@]}" "$bindir/pg_ctl" -D "$QP_PG_DIR/data" -m immediate -w stop >/dev/null 2>&1
  fi
  rm -rf "$QP_PG_DIR"
  QP_PG_DIR=""
  unset QP_PG_DSN_CONFIG
  return 0
}

# start_mariadb: mariadb-install-db into a temporary folder, start mariadbd on a free port of
# 127.0.0.1 (and a unix socket in that folder), create the user and database qp_test, and
# write an odbcinst.ini and odbc.ini (data source "qp_maria") beside it. Exports
# QP_MARIADB_DSN_CONFIG (that odbc.ini), which the ODBC tests read. Never fails the caller:
# when the server cannot start it says why and the MariaDB test cases skip. Like the tests'
# PostgreSQL server it does not flush its writes to the disk. It takes one to two seconds,
# most of them creating the system tables.
start_mariadb() {
  unset QP_MARIADB_DSN_CONFIG
  local server=/usr/sbin/mariadbd driver
  driver=$(ls /usr/lib/*/odbc/libmaodbc.so 2>/dev/null | head -n 1)
  if [ ! -x "$server" ] || ! command -v mariadb-install-db >/dev/null; then
    skips start_mariadb MariaDB "MariaDB server programs not found"
    return 0
  fi
  if [ -z "$driver" ]; then
    skips start_mariadb MariaDB "libmaodbc.so not found"
    return 0
  fi
  local dir
  dir=$(mktemp -d "${TMPDIR:-/tmp}/qp-maria-XXXXXX") || return 0
  # --no-defaults first: nothing of the machine's own server configuration applies. The
  # server refuses to run as root unless told to.
  local common=(--no-defaults)
  [ "$(id -u)" -eq 0 ] && common+=(--user=root)
  common+=(--datadir="$dir/data" --skip-name-resolve --innodb-buffer-pool-size=32M
    --innodb-log-file-size=8M --innodb-flush-log-at-trx-commit=0 --innodb-doublewrite=0
    --innodb-flush-method=nosync)
  if ! mariadb-install-db "${common[@]}" --auth-root-authentication-method=normal \
      --skip-test-db >"$dir/install.log" 2>&1; then
    skips start_mariadb MariaDB "mariadb-install-db failed" "$dir/install.log"
    rm -rf "$dir"
    return 0
  fi
  QP_MARIA_DIR=$dir
  local client=(mariadb --no-defaults -S "$dir/server.sock" -u root)
  local port started="" i
  for port in $(seq 53306 53356); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && continue
    # Debian's own servers store text as utf8mb4; without their configuration it would be latin1.
    "$server" "${common[@]}" --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
      --port="$port" --bind-address=127.0.0.1 --socket="$dir/server.sock" \
      --pid-file="$dir/server.pid" --log-error="$dir/server.log" </dev/null >/dev/null 2>&1 &
    QP_MARIA_PID=$!
    for i in $(seq 1 300); do
      kill -0 "$QP_MARIA_PID" 2>/dev/null || break
      "${client[@]}" -e "SELECT 1" >/dev/null 2>&1 && { started=$port; break; }
      sleep 0.1
    done
    [ -n "$started" ] && break
    stop_mariadb_server
    grep -q "already in use" "$dir/server.log" 2>/dev/null || break
  done
  if [ -z "$started" ]; then
    skips start_mariadb MariaDB "the server did not start" "$dir/server.log"
    stop_mariadb
    return 0
  fi
  if ! "${client[@]}" -e "CREATE DATABASE qp_test; CREATE USER qp_test@'127.0.0.1' IDENTIFIED BY 'qp_test'; GRANT ALL ON qp_test.* TO qp_test@'127.0.0.1'" \
      >"$dir/client.log" 2>&1; then
    skips start_mariadb MariaDB "creating the test database failed" "$dir/client.log"
    stop_mariadb
    return 0
  fi
  printf '[MariaDB Unicode]\nDescription = MariaDB Connector/ODBC (Unicode)\nDriver = %s\n' \
    "$driver" >"$dir/odbcinst.ini"
  # The driver's own defaults, as a user's data source has them.
  printf '[qp_maria]\nDriver = %s\nServer = 127.0.0.1\nPort = %s\nDatabase = qp_test\nUser = qp_test\nPassword = qp_test\n' \
    "$driver" "$started" >"$dir/odbc.ini"
  export QP_MARIADB_DSN_CONFIG="$dir/odbc.ini"
  echo "start_mariadb: MariaDB on 127.0.0.1:$started, ODBC data source qp_maria in $dir/odbc.ini"
  return 0
}

# Ends the server start_mariadb started, by its process id; its files stay.
stop_mariadb_server() {
  [ -n "$QP_MARIA_PID" ] || return 0
  # Nothing of a throw-away server needs a clean shutdown.
  kill -KILL "$QP_MARIA_PID" 2>/dev/null
  wait "$QP_MARIA_PID" 2>/dev/null
  QP_MARIA_PID=""
  return 0
}

stop_mariadb() {
  stop_mariadb_server
  [ -n "$QP_MARIA_DIR" ] && rm -rf "$QP_MARIA_DIR"
  QP_MARIA_DIR=""
  unset QP_MARIADB_DSN_CONFIG
  return 0
}

stop_services() {
  [ -n "$QP_XVFB_PID" ] && kill "$QP_XVFB_PID" 2>/dev/null
  QP_XVFB_PID=""
  stop_postgres
  stop_mariadb
  return 0
}
