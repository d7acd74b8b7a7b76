"""Runs kt3916flash-cli with stdout, or a FIFO it logs to, held by a reader
that never reads (a 4 KiB pipe), waits until a transcript holds the block
writes the run should send and the tool says it waits for its reader, then
signals it and reports how it ended.

usage: unread_output.py {stdout|fifo:PATH} TRANSCRIPT BLOCKS SIGNAL CLI ARGS...
prints: "blocks N alive A exit E" and the tool's stderr in err.txt
"""
import fcntl
import os
import signal
import subprocess
import sys
import time

F_SETPIPE_SZ = 1031
where, transcript, blocks, sig = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
args = sys.argv[5:]


def block_writes():
    try:
        with open(transcript) as f:
            return sum('"cdb":"fa' in line for line in f)
    except FileNotFoundError:
        return 0


# A reader that fell behind earlier: its pipe has room for little more than
# the run's start.
stdout = subprocess.DEVNULL
held = None
if where == 'stdout':
    held, stdout = os.pipe()
    fcntl.fcntl(stdout, F_SETPIPE_SZ, 4096)
    os.write(stdout, b'\n' * 3000)
else:
    fifo = where.split(':', 1)[1]
    held = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    fcntl.fcntl(held, F_SETPIPE_SZ, 4096)
    filler = os.open(fifo, os.O_WRONLY)
    os.write(filler, b'\n' * 3000)
tool = subprocess.Popen(args, stdout=stdout, stderr=open('err.txt', 'w'), stdin=subprocess.DEVNULL)
if where == 'stdout':
    os.close(stdout)
deadline = time.time() + 120
while block_writes() < blocks and tool.poll() is None and time.time() < deadline:
    time.sleep(0.2)
sent = block_writes()


def waiting():
    with open('err.txt') as f:
        return 'waiting for the reader' in f.read()


# The devices are done when the tool says it waits for its reader.
while not waiting() and tool.poll() is None and time.time() < deadline:
    time.sleep(0.2)
alive = tool.poll() is None
tool.send_signal(getattr(signal, sig))
try:
    code = tool.wait(timeout=20)
except subprocess.TimeoutExpired:
    tool.kill()
    code = 'hang'
print('blocks', sent, 'alive', int(alive), 'exit', code)
