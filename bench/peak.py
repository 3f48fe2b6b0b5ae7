"""Peak memory of a command, shared by the timing scripts."""
import os
import subprocess


def peak_kib(argv, folder):
    """Peak resident KiB of argv run in folder, from GNU time, which starts the child from its
    own small image (the kernel counts the image a child replaces at exec in its peak).
    None without GNU time."""
    if not os.path.exists("/usr/bin/time"):
        return None
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, cwd=folder, check=True,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True).stderr
    return int(out.strip().splitlines()[-1])
