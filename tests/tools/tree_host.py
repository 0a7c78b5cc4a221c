"""A host application made of several processes, for the tests of
--exclude-descendants: it starts the helper as its own child, handing it its own
standard streams (so the test talks to the helper directly), and starts further
processes of its own when the test asks on a control pipe.

Usage: tree_host.py CONTROL_FD REPLY_FD HELPER [HELPER_ARGS...]

Each control line is a JSON list, the argument vector of a child to start; the reply
line is a JSON object with its "pid". A vector whose first word is "grandchild" starts
the rest as a grandchild under a shell, which stays as the middle process; the reply
then also names the "grandchild". At the end of the control pipe the host kills what
it started and exits; the helper follows its parent out."""

import json
import os
import signal
import subprocess
import sys


def main():
    control = os.fdopen(int(sys.argv[1]), "r")
    reply = os.fdopen(int(sys.argv[2]), "w")
    subprocess.Popen(sys.argv[3:], stdin=sys.stdin, stdout=sys.stdout, stderr=sys.stderr)
    started = []
    for line in control:
        argv = json.loads(line)
        quiet = dict(stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if argv[0] == "grandchild":
            # The shell starts the grandchild, prints its identifier and waits for it.
            script = '"$@" >/dev/null & echo $!; wait'
            middle = subprocess.Popen(["sh", "-c", script, "sh", *argv[1:]], stdout=subprocess.PIPE, **quiet)
            answer = {"pid": middle.pid, "grandchild": int(middle.stdout.readline())}
            started += [middle.pid, answer["grandchild"]]
        else:
            answer = {"pid": subprocess.Popen(argv, stdout=subprocess.DEVNULL, **quiet).pid}
            started.append(answer["pid"])
        reply.write(json.dumps(answer) + "\n")
        reply.flush()
    for pid in started:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


if __name__ == "__main__":
    main()
