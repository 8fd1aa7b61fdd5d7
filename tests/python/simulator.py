"""korva_sim as a child process of a python test: control lines in, event
lines out, waits on events with generous bounds."""
import os
import subprocess
import threading

TIMEOUT = 20.0  # seconds; generous for a busy machine


class Sim:
    """korva_sim as a child process: control lines in, event lines out."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([os.environ["KORVA_SIM"], *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, bufsize=1)
        self.events = []
        self.cursor = 0
        self.eof = False
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        ready = self.wait_for("ready")
        fields = dict(f.split("=", 1) for f in ready.split()[1:])
        self.link = fields.get("link")
        self.port = int(fields.get("tcp", 0))

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.events.append(line.rstrip("\n"))
                self.cond.notify_all()
        with self.cond:
            self.eof = True
            self.cond.notify_all()

    def wait_for(self, event, timeout=TIMEOUT):
        """The next event equal to event or starting with event + ' '."""
        def match(line):
            return line == event or line.startswith(event + " ")
        with self.cond:
            def found():
                return any(match(e) for e in self.events[self.cursor:]) or self.eof
            self.cond.wait_for(found, timeout)
            for i in range(self.cursor, len(self.events)):
                if match(self.events[i]):
                    self.cursor = i + 1
                    return self.events[i]
        raise AssertionError("no event %r; events: %r" % (event, self.events))

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        self.wait_for("ok " + line)

    def close(self):
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.reader.join()
        self.proc.stdout.close()
