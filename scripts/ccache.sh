# Sourced by the build scripts: KV_LAUNCHER holds the CMake options that put
# ccache before the compilers, when ccache is installed. Paths below the
# checkout are hashed relative to it, so clones in other directories share the
# cache.
KV_LAUNCHER=()
if command -v ccache > /dev/null; then
  KV_LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  CCACHE_BASEDIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  export CCACHE_BASEDIR
  export CCACHE_NOHASHDIR=1
fi
