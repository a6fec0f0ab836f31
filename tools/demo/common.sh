# Shared by run-demo.sh and tools/windows/demo.sh (sourced, from the project's root folder).

# demo_samples WORK [build-samples options]: the sample products in WORK/products. The demo's
# Workserver carries a heavier payload than the test samples, so its install lasts long enough
# to be seen.
demo_samples() {
  local work=$1
  shift
  python3 - "$work/samples.json" <<'PY'
import json, sys
samples = json.load(open("tools/products/samples.json"))
for p in samples["products"]:
    if p["file"].startswith("TessalineWorkserver-25.1"):
        p["payload"]["lib/tessaline-core.dat"] = 96 * 1024 * 1024
json.dump(samples, open(sys.argv[1], "w"), indent=1)
PY
  tools/products/build-samples.sh "$work/products" --samples "$work/samples.json" "$@" >/dev/null
}

# demo_service WORK OUT [KEY.pem]: the stand-in web service on 127.0.0.1 for the user demo /
# demo-password, serving WORK/products, its log in OUT/service.log. Sets SERVICE_PID and PORT.
# The Workserver comes at a modest rate, so the download page can be seen at work. With a key,
# the product list is signed with it, as the maker signs one: a version that grows with the
# time of publication, and an expiry thirty days on.
demo_service() {
  local work=$1 out=$2 key=${3:-} signing=()
  echo '{"users": {"demo": "demo-password"}}' > "$work/users.json"
  if [ -n "$key" ]; then
    signing=(--sign-key "$key" --manifest-version "$(date -u +%Y%m%d%H%M)"
             --manifest-expires "$(date -u -d '+30 days' +%Y-%m-%dT%H:%M:%SZ)")
  fi
  python3 tools/standin/serve.py --products "$work/products" --users "$work/users.json" \
      --port 0 --port-file "$work/port" --time-limit 900 \
      --fault "TessalineWorkserver-25.1_2301450-win64.msi=slow:40000000" "${signing[@]}" \
      2>"$out/service.log" &
  SERVICE_PID=$!
  for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.1; done
  PORT=$(cat "$work/port")
  echo "listening on 127.0.0.1:$PORT"
}
