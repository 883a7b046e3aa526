"""Loads another script of this folder as a module: their names have dashes, which import cannot
take."""
import importlib.util
import os


def load_script(name):
    """scripts/NAME.py as a module (its main() is not run)."""
    folder = os.path.dirname(os.path.abspath(__file__))
    spec = importlib.util.spec_from_file_location(name.replace("-", "_"),
                                                  os.path.join(folder, name + ".py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
