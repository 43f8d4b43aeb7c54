# The job runner inside the emulated machine (run by its init from the control
# share, which `vm start` fills): mounts the shared folders at their own paths,
# starts Wine once, then runs each job that `vm exec` queues, several at a
# time, until told to power off. A machine left behind by a run that was
# killed powers itself off after half an hour without jobs.
export HOME=/root WINEPREFIX=/root/.wine WINEDEBUG=-all LANG=en_US.UTF-8
idle_limit=1800

# cache=mmap: Wine maps the programs it runs, and mappings of a 9p file need
# the page cache that this mode keeps for them alone.
while read -r tag path; do
  mkdir -p "$path"
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=mmap "$tag" "$path" ||
    echo "agent: cannot mount $path" >&2
done </qel/shares

# A persistent server, and the 32-bit side loaded once, so that no job pays
# for them.
wineserver -p
wine 'C:\windows\syswow64\cmd.exe' /c exit 0
touch /qel/ready

run_job() {
  local job=$1 cwd argv vars
  mapfile -d '' -t argv <"$job/argv"
  mapfile -d '' -t vars <"$job/env"
  cwd=$(cat "$job/cwd")
  (cd "$cwd" && exec env "${vars[@]}" wine "${argv[@]}") </dev/null >"$job/stdout" 2>"$job/stderr"
  echo $? >"$job/status.new"
  mv "$job/status.new" "$job/status"
}

last_busy=$SECONDS
until [ -e /qel/poweroff ]; do
  for job in /qel/jobs/*.job; do
    [ -d "$job" ] || continue
    mv "$job" "${job%.job}.run" || continue
    run_job "${job%.job}.run" &
  done
  if [ -n "$(jobs -rp)" ]; then
    last_busy=$SECONDS
  elif ((SECONDS - last_busy > idle_limit)); then
    echo "agent: no job for $idle_limit s; powering off" >&2
    break
  fi
  sleep 0.2
done
