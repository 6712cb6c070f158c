# Shared settings of the distance-service scripts; sourced, not run.

DS_SRC_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
DS_REPO_DIR=$(cd "$DS_SRC_DIR/../.." && pwd)
DS_DEFAULT_BUILD_DIR="$DS_REPO_DIR/build/distance-service"
DS_MAIN_CLASS=example.zelk.ws.DistanceServer
DS_SERVICE_PATH=/ZelkSystem/services/ZelkDistanceVersion3
# Axis's own path for the same service; only used to ask for the generated WSDL.
DS_WSDL_PATH=/axis/services/ZelkDistanceVersion3?wsdl

DS_JAR_DIR=/usr/share/java
DS_JARS=(axis.jar axis-jaxrpc.jar axis-saaj.jar wsdl4j.jar commons-discovery.jar commons-logging.jar)
# Present with libaxis-java; without them Axis only warns that attachments are off.
DS_OPTIONAL_JARS=(javax.activation.jar javax.mail.jar)

ds_die() {
  echo "distance-service: $*" >&2
  exit 1
}

ds_note() {
  echo "distance-service: $*" >&2
}

# Prints the class path of the Axis jars, or fails naming what is missing.
ds_classpath() {
  local cp="" j
  for j in "${DS_JARS[@]}"; do
    [ -f "$DS_JAR_DIR/$j" ] || ds_die "$DS_JAR_DIR/$j not found; run tools/distance-service/install-deps.sh"
    cp="$cp${cp:+:}$DS_JAR_DIR/$j"
  done
  for j in "${DS_OPTIONAL_JARS[@]}"; do
    [ -f "$DS_JAR_DIR/$j" ] && cp="$cp:$DS_JAR_DIR/$j"
  done
  echo "$cp"
}

ds_need() {
  command -v "$1" >/dev/null 2>&1 || ds_die "$1 not found; run tools/distance-service/install-deps.sh"
}

# True when PID is a running instance of this service.
ds_is_ours() {
  local pid=$1
  [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q "$DS_MAIN_CLASS"
}

ds_absdir() {
  mkdir -p "$1" && (cd "$1" && pwd)
}
