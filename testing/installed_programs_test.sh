#!/usr/bin/env bash
# Installs the built tree the way a packager or a user does and runs the installed programs,
# never the build tree's: a background preparation and a foreground session that swaps a
# signed sample application from 1.0.0 to 2.0.0 and relaunches it.
#
#   installed_programs_test.sh install BUILD-DIR   cmake --install into a temporary DESTDIR
#   installed_programs_test.sh package BUILD-DIR   cpack -G DEB, then dpkg-deb -x of both packages
set -euo pipefail
how=$1
build=$(cd "$2" && pwd)

work=$(mktemp -d /tmp/mirelo-installed-XXXXXX)
app_pid=
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
root=$work/root
fail() { echo "FAIL: $*" >&2; exit 1; }
status() { set +e; "$@"; local code=$?; set -e; echo "$code"; }

case $how in
  install)
    DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
    ;;
  package)
    (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/packages" >/dev/null)
    helpers=$(echo "$work"/packages/mirelo-helpers_*.deb)
    tools=$(echo "$work"/packages/mirelo-dev-tools_*.deb)
    [ -f "$helpers" ] && [ -f "$tools" ] || fail "packages missing: $(ls "$work/packages")"
    # Library dependencies come from the binaries; the tools that the programs start are declared.
    depends=$(dpkg-deb -f "$helpers" Depends)
    for needed in libc6 libicu72 libssl3 unzip; do
      [[ ", $depends," == *", $needed"[\ ,]* ]] || fail "mirelo-helpers does not depend on $needed: $depends"
    done
    tool_depends=$(dpkg-deb -f "$tools" Depends)
    for needed in libc6 zip; do
      [[ ", $tool_depends," == *", $needed"[\ ,]* ]] || fail "mirelo-dev-tools does not depend on $needed: $tool_depends"
    done
    dpkg-deb -x "$helpers" "$root"
    dpkg-deb -x "$tools" "$root"
    ;;
  *) fail "unknown way of installing: $how" ;;
esac

private=$root/usr/libexec/mirelo
bin=$root/usr/bin
for program in "$private/mirelo-update-helper" "$private/mirelo-meeting-helper" "$private/mirelo-open" \
               "$bin/mirelo-codesign" "$bin/mirelo-sample-app"; do
  [ -x "$program" ] || fail "not installed: ${program#$root}"
done
[ -f "$private/mirelo-update-core.so" ] || fail "the update helper's core is not installed beside it"
for file in share/man/man1/mirelo-update-helper.1 share/man/man1/mirelo-meeting-helper.1 share/man/man1/mirelo-open.1 \
            share/man/man1/mirelo-codesign.1 share/man/man1/mirelo-sample-app.1 share/doc/mirelo-helpers/README.md; do
  [ -f "$root/usr/$file" ] || fail "not installed: /usr/$file"
done
# Nothing installed may look for libraries in the build tree.
while IFS= read -r -d '' file; do
  if readelf -h "$file" >/dev/null 2>&1; then
    paths=$(readelf -d "$file" | grep -E 'RPATH|RUNPATH' || true)
    [ -z "$paths" ] || fail "${file#$root} keeps a library path: $paths"
  fi
done < <(find "$root/usr" -type f -print0)
# The probe stays as cheap as a process start only while the executable needs the C library
# alone; every other library belongs to the core module.
needed=$(readelf -d "$private/mirelo-update-helper" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | tr '\n' ' ')
[[ "$needed" != *libstdc++* && "$needed" != *libicu* && "$needed" != *libcrypto* && "$needed" != *glib* ]] ||
  fail "the update helper's executable links more than the C library: $needed"

# The installed helper answers a probe, and loads its core from its own folder.
jobs=$work/jobs
prepare=$jobs/prepare-1
session=$jobs/session-1
apps=$work/Applications
mkdir -p "$prepare" "$session" "$apps" "$work/downloads" "$work/build-2.0.0"
helper=$private/mirelo-update-helper
[ "$(status "$helper" --probe "$prepare")" = 1 ] || fail "--probe on an idle directory"
[ "$(status flock "$prepare/active.lock" "$helper" --probe "$prepare")" = 0 ] || fail "--probe on a busy directory"
loaded=$(LD_DEBUG=files "$helper" --discard "$prepare" 2>&1 | sed -n 's/.*file=\(.*mirelo-update-core\.so\).*/\1/p' | head -1)
[ "$loaded" = "$private/mirelo-update-core.so" ] || fail "the core was loaded from '$loaded'"

# A signed application 1.0.0 and its signed update 2.0.0, made with the installed tools.
"$bin/mirelo-codesign" keygen "$work/developer.pem"
"$bin/mirelo-sample-app" bundle --identifier com.mirelo.desktop --version 1.0.0 --files 20 \
  --key "$work/developer.pem" "$apps" >/dev/null
"$bin/mirelo-sample-app" bundle --identifier com.mirelo.desktop --version 2.0.0 --files 20 \
  --key "$work/developer.pem" "$work/build-2.0.0" >/dev/null
"$bin/mirelo-sample-app" archive "$work/build-2.0.0/Mirelo.app" "$work/downloads/Mirelo-2.0.0.zip" >/dev/null
installed_version() {
  sed -n 's:.*<string>\([0-9][0-9.]*\)</string>.*:\1:p' "$apps/Mirelo.app/Contents/Info.plist" | head -1
}

cat > "$prepare/request.json" <<JSON
{"archive":"$work/downloads/Mirelo-2.0.0.zip","executable":"$apps/Mirelo.app/Contents/MacOS/Mirelo","version":"2.0.0","tag":"stable-2.0.0"}
JSON
code=$(status "$helper" --prepare "$prepare")
[ "$code" = 0 ] || fail "--prepare exited $code: $(cat "$prepare/failure.json" 2>/dev/null)"
[ -f "$prepare/prepared.json" ] || fail "--prepare recorded nothing"

# The foreground session adopts the prepared candidate, waits for the application to quit,
# swaps the bundles and relaunches the new version with the installed mirelo-open; the
# relaunched sample application confirms its start.
sleep 600 &
app_pid=$!
cat > "$session/native-install.json" <<JSON
{"archive":"$work/downloads/Mirelo-2.0.0.zip","executable":"$apps/Mirelo.app/Contents/MacOS/Mirelo","version":"2.0.0","pid":$app_pid,"prepared":"$prepare"}
JSON
env -u DISPLAY -u WAYLAND_DISPLAY MIRELO_SAMPLE_CONFIRM="$session" MIRELO_SAMPLE_STARTED="$work/started.log" \
  "$helper" --run "$session" &
helper_pid=$!
for _ in $(seq 1 3000); do
  [ -f "$session/ready" ] && break
  kill -0 "$helper_pid" 2>/dev/null || break
  sleep 0.01
done
[ -f "$session/ready" ] || fail "--run never became ready"
[ -f "$session/adopted.json" ] || fail "--run did not adopt the prepared candidate"
printf installing > "$session/.phase.new" && mv -f "$session/.phase.new" "$session/phase"
kill "$app_pid"
wait "$app_pid" 2>/dev/null || true
app_pid=
set +e; wait "$helper_pid"; code=$?; set -e
[ "$code" = 0 ] || fail "--run exited $code"
[ "$(installed_version)" = 2.0.0 ] || fail "installed version is $(installed_version)"
grep -q 2.0.0 "$work/started.log" || fail "2.0.0 was not relaunched"
[ "$(cat "$session/phase")" = complete ] || fail "phase is $(cat "$session/phase")"
"$bin/mirelo-codesign" verify --strict --nested "$apps/Mirelo.app" 2>/dev/null || fail "installed bundle does not verify"
leftover=$(find "$apps" -maxdepth 1 -name '.mirelo-update-*')
[ -z "$leftover" ] || fail "staging folders left: $leftover"
echo "installed programs ($how) work"
