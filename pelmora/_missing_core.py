"""Why `import pelmora` finds no native module, in words that say what to do about it."""

import pathlib


def missing_core_message(init_file: str) -> str:
    folder = pathlib.Path(init_file).resolve().parent
    if (folder.parent / "pyproject.toml").is_file():
        # A clone's source folder is first on sys.path (Python runs from the clone's root) and
        # hides the installed package, whose pelmora/ holds the built module.
        return (f"pelmora's native module _core is not built in {folder}, the source folder of "
                f"a clone, which shadows any installed pelmora when Python runs from "
                f"{folder.parent}. Run from another folder to use the installed package "
                f"(`pip install .` builds and installs it), or build in place with "
                f"tools/dev-build.")
    return (f"pelmora's native module _core is missing from {folder}: the installation is "
            f"incomplete. Reinstall pelmora (`pip install --force-reinstall pelmora`, or "
            f"`pip install .` from a clone).")
