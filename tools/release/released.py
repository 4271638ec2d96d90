"""What a released archive (zip or tar) or Debian package holds, read one
way for the release tools (spdx.py, qualify.py) and the release checks."""
import collections
import io
import subprocess
import tarfile
import zipfile

# A file's bytes and permission bits.
Member = collections.namedtuple("Member", "data mode")


def members(path):
    """{name: Member} of every file in the archive or package; a package's
    names as installed, without a leading "/" or "./" (usr/bin/...)."""
    if path.endswith(".zip"):
        with zipfile.ZipFile(path) as z:
            return {i.filename: Member(z.read(i), (i.external_attr >> 16) & 0o7777)
                    for i in z.infolist() if not i.is_dir()}
    if path.endswith(".deb"):
        tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", path], stdout=subprocess.PIPE,
                             check=True).stdout
        opened = tarfile.open(fileobj=io.BytesIO(tar))
    else:
        opened = tarfile.open(path)
    with opened as t:
        return {m.name.removeprefix("./"): Member(t.extractfile(m).read(), m.mode)
                for m in t.getmembers() if m.isfile()}


def program(path, archive, name):
    """The bytes of the program name that the archive (its files under the
    folder archive) or the package (in usr/bin) holds, or None."""
    found = members(path).get(("usr/bin/%s" if path.endswith(".deb") else archive + "/%s") % name)
    return found and found.data
