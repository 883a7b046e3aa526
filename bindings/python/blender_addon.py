# The Blender add-on: Object > Lip Sync from Audio, from the vocetta package that python3-vocetta
# installs for the system's Python, which Blender runs. Blender reads bl_info from this file.
bl_info = {
    "name": "Vocetta lip sync",
    "author": "Vocetta",
    "version": (0, 1, 0),
    "blender": (3, 0, 0),
    "location": "3D Viewport > Object > Lip Sync from Audio",
    "description": "Keys a face's shape keys, replacement mouths or Grease Pencil drawings "
                   "from a recording of speech",
    "category": "Animation",
}

from vocetta.blender import register, unregister  # noqa: E402,F401
