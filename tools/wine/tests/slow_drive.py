"""A slow drive for the Wine tests: a FUSE file system that passes everything through to a backing
folder, except that forcing a file to the disk (fsync, which Wine's FlushFileBuffers becomes) takes
a fixed time, as on a failing USB stick or a busy network share. Each fsync is logged with its
file name, so a test can tell that the slow path was really taken.

Run as a script it is the file system (`slow_drive.py MOUNT BACKING SECONDS LOG`, in the foreground,
until unmounted); imported it gives the test side, `SlowDrive`, which mounts, waits for the mount
and always unmounts. Needs root (the mount itself), /dev/fuse and Debian's python3-fusepy."""
import errno
import os
import subprocess
import sys
import time


class SlowDrive:
    """with SlowDrive(h, seconds) as drive: drive.path is the mounted folder; drive.fsyncs() lists
    (file name, seconds it took) of every fsync so far. Raises h.Skip where FUSE cannot mount."""

    def __init__(self, h, seconds):
        self.h = h
        self.seconds = seconds
        root = h.scratch()
        self.backing = os.path.join(root, "backing")
        self.path = os.path.join(root, "slow")
        self.log = os.path.join(root, "fsync.log")
        self.proc = None

    def __enter__(self):
        if not os.path.exists("/dev/fuse"):
            raise self.h.Skip("no /dev/fuse on this machine")
        if _fuse() is None:
            raise self.h.Skip("python3-fusepy is not installed")
        os.makedirs(self.backing)
        os.makedirs(self.path)
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), self.path, self.backing,
                                      str(self.seconds), self.log], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, start_new_session=True)
        end = time.time() + 15
        while not self.mounted():
            if self.proc.poll() is not None or time.time() > end:
                err = self._end()
                raise self.h.Skip("the slow drive did not mount: %s" % err[-500:])
            time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        self._end()

    def mounted(self):
        with open("/proc/mounts") as f:
            return any(line.split()[1] == self.path for line in f if len(line.split()) > 1)

    def fsyncs(self):
        if not os.path.exists(self.log):
            return []
        out = []
        for line in open(self.log, encoding="utf-8").read().splitlines():
            name, took = line.rsplit("\t", 1)
            out.append((name, float(took)))
        return out

    def _end(self):
        """Unmounts (lazily if something still holds it) and waits for the file system to end."""
        if self.mounted():
            if subprocess.run(["umount", self.path], capture_output=True).returncode != 0:
                subprocess.run(["umount", "-l", self.path], capture_output=True)
        err = b""
        if self.proc is not None:
            try:
                err = self.proc.communicate(timeout=15)[1]
            except subprocess.TimeoutExpired:
                self.proc.kill()
                err = self.proc.communicate()[1]
            self.proc = None
        assert not self.mounted(), "the slow drive is still mounted at " + self.path
        return err.decode("utf-8", "replace")


def _fuse():
    """fusepy's module: Debian names it fusepy, PyPI's package fuse."""
    try:
        import fusepy
        return fusepy
    except ImportError:
        try:
            import fuse
            return fuse if hasattr(fuse, "Operations") else None
        except ImportError:
            return None


def _serve(mount, backing, seconds, log):
    fuse = _fuse()
    FUSE, FuseOSError, Operations = fuse.FUSE, fuse.FuseOSError, fuse.Operations

    class Passthrough(Operations):
        def _p(self, path):
            return os.path.join(backing, path.lstrip("/"))

        def _call(self, fn, *args):
            try:
                return fn(*args)
            except OSError as e:
                raise FuseOSError(e.errno or errno.EIO)

        def access(self, path, mode):
            if not os.access(self._p(path), mode):
                raise FuseOSError(errno.EACCES)

        def getattr(self, path, fh=None):
            st = self._call(os.lstat, self._p(path))
            return {k: getattr(st, k) for k in ("st_atime", "st_ctime", "st_gid", "st_mode", "st_mtime",
                                                 "st_nlink", "st_size", "st_uid")}

        def readdir(self, path, fh):
            return [".", ".."] + self._call(os.listdir, self._p(path))

        def statfs(self, path):
            st = self._call(os.statvfs, self._p(path))
            return {k: getattr(st, k) for k in ("f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail",
                                                 "f_ffree", "f_files", "f_flag", "f_frsize", "f_namemax")}

        def chmod(self, path, mode):
            self._call(os.chmod, self._p(path), mode)

        def chown(self, path, uid, gid):
            self._call(os.chown, self._p(path), uid, gid)

        def utimens(self, path, times=None):
            self._call(os.utime, self._p(path), times)

        def mkdir(self, path, mode):
            self._call(os.mkdir, self._p(path), mode)

        def rmdir(self, path):
            self._call(os.rmdir, self._p(path))

        def unlink(self, path):
            self._call(os.unlink, self._p(path))

        def rename(self, old, new):
            self._call(os.rename, self._p(old), self._p(new))

        def truncate(self, path, length, fh=None):
            if fh is not None:
                self._call(os.ftruncate, fh, length)
            else:
                self._call(os.truncate, self._p(path), length)

        def open(self, path, flags):
            return self._call(os.open, self._p(path), flags)

        def create(self, path, mode, fi=None):
            return self._call(os.open, self._p(path), os.O_RDWR | os.O_CREAT | os.O_TRUNC, mode)

        def read(self, path, size, offset, fh):
            return self._call(os.pread, fh, size, offset)

        def write(self, path, data, offset, fh):
            return self._call(os.pwrite, fh, data, offset)

        def flush(self, path, fh):
            return 0

        def release(self, path, fh):
            self._call(os.close, fh)

        def fsync(self, path, datasync, fh):
            t0 = time.time()
            time.sleep(seconds)
            self._call(os.fsync, fh)
            with open(log, "a", encoding="utf-8") as f:
                f.write("%s\t%.3f\n" % (os.path.basename(path), time.time() - t0))
            return 0

        def fsyncdir(self, path, datasync, fh):
            time.sleep(seconds)
            return 0

    FUSE(Passthrough(), mount, foreground=True, nothreads=False)


if __name__ == "__main__":
    _serve(sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4])
