"""The sandbox world.

LEAD NOTE TO THE DEVELOPER OF THIS FILE (replace this docstring when you implement it):
the API below is the contract other developers already write their system tests against, and
the house rules below are part of your brief. Delete this note before you commit.

## The sandbox world API (tools/sandbox/sandbox.py) — the contract every system test uses

`tests/system/conftest.py` puts `tools/sandbox` on sys.path and provides pytest fixtures:
- `sandbox`: a started `Sandbox` (function scope), closed afterwards; skips with "needs root: creates network
  namespaces" when not root.
- `build_dir` / `source_dir`: pathlib.Path from env NORVID_BUILD_DIR / NORVID_SOURCE_DIR (defaults: <repo>/build, <repo>);
  `norvid_binary`: build_dir / "src/norvid/norvid".

`Sandbox(source_dir=None)` (context manager; `start()` / `close()`; close is idempotent and always removes every
namespace, process and mount it made):
- Device world = its own network + mount + PID namespaces, private tmpfs on /run and /tmp, fresh /sys and /proc,
  a private /etc/resolv.conf (empty at start), the repo's `data/` directory bound at /usr/share/norvid
  (the lease script lives at data/norvid_udhcpc.sh), a private D-Bus system bus at the standard path
  /run/dbus/system_bus_socket (config mirrors Debian's system bus and also includes every
  `src/norvid/dbus/*.conf` policy file of the repo), systemd-udevd with a private /run/udev and only net rules.
  Links in the device world: `eth0` (wired; veth whose peer end is in the peer namespace), `wlan0` (a veth
  too, standing in for the Wi-Fi station interface; no radio), `lo` up. Both device links start down.
- Peer namespace ("the network"): the peer end of eth0 carries 10.77.0.1/24 and fd77::1/64, TX checksum offload
  off on both ends; the peer end starts up (cable plugged) unless `Sandbox(plugged=False)`.
- `run(argv, *, env=None, timeout=60, check=False, input=None)` -> subprocess.CompletedProcess (text, stdout and
  stderr captured) inside the device world. Base environment: PATH=/sbin:/bin:/usr/sbin:/usr/bin, HOME=/root,
  LANG=C.UTF-8; `env` entries override it, an entry with value None removes that variable.
- `spawn(argv, *, env=None, stdout=PIPE, stderr=STDOUT)` -> subprocess.Popen (text mode) inside the device world;
  the sandbox kills what it spawned on close.
- `peer_run(argv, ...)` -> CompletedProcess in the peer namespace.
- `plug()` / `unplug()`: peer end of eth0 up / down (carrier follows on eth0).
- `start_dhcp_server()` / `stop_dhcp_server()`: the DHCP server on the peer end (pool 10.77.0.100-10.77.0.150,
  router 10.77.0.1, DNS 10.77.0.53, domain "sandbox.test", short lease allowed by argument
  `lease_seconds=...`).
- `start_radvd(rdnss=(), dnssl=(), prefix="fd77::/64")` / `stop_radvd()`: radvd on the peer end.
- `read_file(path)` / `write_file(path, text)`: a file as seen inside the device world (e.g. /etc/resolv.conf).
Constants: `PEER_IPV4 = "10.77.0.1"`, `DHCP_POOL = ("10.77.0.100", "10.77.0.150")`, `DNS_SERVER = "10.77.0.53"`,
`DOMAIN = "sandbox.test"`.
Several sandboxes may exist at once (different developers and tests): names are unique per instance.

## Project and house rules (read all of it)

You are a developer on **norvid**, the network connection manager daemon of an embedded Linux device
(C++17, Qt 5 Core/DBus/Network, libnl-3, libudev). The full specification is `/work/shared/spec.md`
(read its Overview and the Parts your task names before writing code). Names in backticks are the names to
use in the code. Texts in double quotes are the system's own (log messages, D-Bus names, file contents):
use them exactly. Where the task text and a Part differ, the Part holds. Where both are silent, build what a
user of a production daemon would expect and say so in your final report.

Rules (these are hard rules):
- Only issues and the developers' guide mention the specification or its Parts. Code, comments, tests,
  commit messages, file names and the README never do ("see Part 4.2", "as the spec says", "per spec" are
  defects). Write comments as this system's own developer would: why, not what.
- Do not fetch, install, run or read any existing implementation of this system. If you think you recognise it
  as an existing program, keep that to yourself and do not look it up. Other connection managers may be read
  for ideas, never copied.
- Tests: "Edge cases worth testing" lists are suggestions. Write tests that catch real faults, group related
  cases, skip tests that restate the code. Tests should be roughly a quarter to a third of the code.
- SAFETY: never run the daemon, or anything that changes links/addresses/routes or kills processes, in the
  host's namespaces: the host's only connection is eth0. Such things run only inside the project's sandbox
  world (tools/sandbox, see below). Network traffic only to addresses inside namespaces the sandbox creates.
- Real parts, not mocks: real dbus-daemon, real netns/veth, real ip, real rtnetlink via libnl, real udevd,
  real busybox udhcpc, real DHCP server in a peer namespace, radvd. Only what cannot run here (no Wi-Fi radio)
  gets a test double under tests/doubles/: wpa_supplicant's D-Bus service (python3-dbusmock), hostapd, iw,
  dnsd. Any Debian package you need: add its name to `scripts/packages.txt` (one per line) and apt-get install
  it yourself (run `apt-get update` once first if needed).
- Bad input (D-Bus values of the wrong type, malformed maps, garbage from child processes or the kernel)
  gets a clear log line and is dropped; never a crash, never lose configuration.
- Code style: sources under `src/norvid/`, one .h/.cpp pair per class family, named after the class. Everything
  but main() is in the library `norvi` (src/norvid/CMakeLists.txt globs every *.cpp/*.h in src/norvid/ except
  Norvid.cpp, so new files are picked up automatically; re-run cmake after adding files). QObject components;
  every signal/slot connection through `norvi::connect(sender, SIGNAL(x()), receiver, SLOT(y()))` from
  NorviCommon.h; one `QState` subclass per state; a state machine's transitions in one readable table-like
  block. Small functions, no dead code, no copy-paste (`duplicates --change` lists what you wrote twice; run it
  before you finish). Timer intervals and paths are named constants; where a test needs a shorter interval or
  another path, pass it in (constructor argument defaulting to the real value), never via an environment
  variable. Format every C++ file with `clang-format -i` (the repo's .clang-format); warnings are errors.
- Logging: use the macros in `src/norvid/NorviCommon.h`: `nvDebug() << "text " << value;` (composed only at
  log level > 0), `nvInfo()`, `nvWarning()`, `nvCritical()`, and `nvFatal();` (logs "Aborting program due to
  fatal error!" and aborts). They add the "File.cpp:LINE " prefix and no-space mode; QString/QByteArray
  values come out quoted, literals bare, `InterfaceName` bare. `InterfaceName` (value type) is in NorviCommon.h.
  Do not edit NorviCommon.h/.cpp; if you need a change there, describe it in your report.
- Tests: QtTest unit tests as `tests/unit/tst_<Name>.cpp` (auto-registered in ctest as unit.tst_<Name>; each
  file is one executable linking `norvi` and Qt5::Test; end with QTEST_GUILESS_MAIN(Class) and
  `#include "tst_<Name>.moc"`; use QSignalSpy for signals). System tests (real links, processes, the bus) are
  pytest files `tests/system/test_<name>.py` (auto-registered as system.test_<name>; ctest sets env
  NORVID_BUILD_DIR and NORVID_SOURCE_DIR). A small C++ program that a system test runs inside the sandbox
  (to drive a class against the real kernel/bus) goes in `tests/helpers/<name>.cpp`; it is built automatically
  as `<build>/tests/helpers/<name>` linking `norvi` (prefix names with your area to avoid clashes). A test that needs root skips with a clear reason when not root.
  Performance figures go in benchmarks that print figures, never in timed unit tests.

## Working copy, building, committing
- You work ONLY in your own git worktree (given below), on your own branch. Do not touch /work/main or other
  worktrees under /work/wt/ (other developers are working there concurrently). Keep to the files your task
  names; files owned by others you may read but not edit. Top-level CMakeLists.txt, tests/CMakeLists.txt,
  tests/*/CMakeLists.txt, scripts/test.sh, scripts/setup.sh, README.md, .ci/ belong to the lead: if you need a
  change there, say exactly what in your report (README text included).
- Build: `cmake -S . -B build -G Ninja -DNORVI_WERROR=ON && ninja -C build && (cd build && ctest --output-on-failure)`.
  Before you finish also build and run your tests with sanitizers:
  `cmake -S . -B build-asan -G Ninja -DNORVI_WERROR=ON -DNORVI_SANITIZE=ON && ninja -C build-asan && (cd build-asan && ctest --output-on-failure -R <yours>)`.
  The machine has only 2 cores shared with ~7 other developers: build with `ninja -j2` at most, build only
  what you need (`ninja -C build tst_Foo`), don't rebuild in loops.
- Inside the sandbox world /tmp is private, so keep build and run dirs under /work.
- Commit on your branch in small honest steps with plain messages (`git add <your files>; git commit -m ...`).
  Never commit build dirs. The lead merges your branch into main. Other branches land in main while you work;
  when you need something that has landed, `git merge main` in your worktree.
- Time: the whole session ends at about 17:50 (see `date`). Aim to have your task committed and reported
  by 16:55 at the latest; if something is too big, commit what works and is tested, and say what is left.
- Final report (your last message, keep it short): branch, what you built, files, what you tested/measured,
  what is left and why, any README text or lead-owned file change you need, any Debian packages added.
"""
