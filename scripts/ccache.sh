# Sourced by the build scripts: where ccache is installed (scripts/setup.sh
# installs it), every build folder configured afterwards compiles through it.
# Paths are made relative to the tree's parent folder, so that two clones side
# by side (a developer's and CI's) share one cache; a rerun of an unchanged tree
# then costs look-ups instead of compiles. KL_NO_CCACHE=1 turns it off.
if [ -z "${KL_NO_CCACHE:-}" ] && command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
  export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
  export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-20G}
fi
