// help.h - the text of "korva_sim --help".
#pragma once

namespace korva_sim {

inline constexpr const char kHelp[] = R"(korva_sim - a simulated Lawicel (slcan) CAN adapter

korva_sim plays the adapter's side of the Lawicel ASCII protocol on a
pseudo-terminal or on a TCP port of 127.0.0.1.  It is the fixture of korva's
tests, the adapter the korva demo runs on when no hardware is given, and a
tool for people who develop against korva_api (or any slcan host) without
hardware: open the link or the port it reports.  It is a separate program
that speaks the protocol itself; it does not use korva_api.

Usage: korva_sim (--pty LINK | --tcp PORT) [options]

Transport (exactly one):
  --pty LINK     Open a pseudo-terminal and make LINK a symbolic link to its
                 slave, creating missing directories.  korva classifies the
                 adapter by the link's name (ttyUSB = USB, ttyS = serial).
                   korva_sim --pty /tmp/korva/ttyUSB0
  --tcp PORT     Listen on 127.0.0.1:PORT; 0 picks a free port, which the
                 "ready" event reports.  A new client replaces the old one.
                   korva_sim --tcp 0

Adapter:
  --dialect full|quiet|fd|quiet-fd
                 full (the default): the whole Lawicel command set, every
                 command answered.  quiet: the slcan firmware of most
                 low-cost USB-CAN adapters, which answers no command but
                 "V" (see "The quiet dialect" below).  fd: full and the
                 slcan CAN FD extension (see "The fd dialect" below).
                 quiet-fd: quiet, and the FD extension, also unanswered.
                   korva_sim --pty /tmp/korva/ttyACM0 --dialect quiet
  --version-text TEXT
                 The quiet dialect's answer to "V" (default
                 "b8e6cdd git://example.invalid/usb-can-fw.git").
  --serial TEXT  Serial number in the "N" reply (default 1234).
                   --serial 4711
  --hw HH        Hardware version, two hex digits of the "V" reply (default 10).
                   --hw 12
  --sw HH        Software version, two hex digits of the "V" reply (default 13).
                   --sw 34
  --status HH    Status byte of the "F" reply (default 00).
                   --status 04
  --bus NAME     Join the virtual bus NAME (letters, digits, . _ -): a frame
                 the host transmits here is received by the hosts of all other
                 simulators on NAME.  Sockets live in /tmp/korva-bus-UID/NAME
                 (or $KORVA_BUS_DIR/NAME), which must be this user's alone:
                 a directory of another mode or owner, or a link, is refused.
                   korva_sim --pty /tmp/korva/ttyUSB0 --bus bench
                   korva_sim --tcp 0 --bus bench

Traffic and faults (the same as the control commands of the same name,
run at start):
  --send ARGS    Send frames.   --send "123#AABB every=100 count=0"
  --flood ARGS   Flood frames.  --flood 200000
  --fault MODE   Play a fault.  --fault silence

Event log and control channel:
  --log-tx       Log every frame line sent to the host ("tx" events).
  --no-log-rx    Do not log the command lines received ("rx" events).
  --no-control   Ignore standard input and run until a signal.  Otherwise
                 the end of standard input ends the simulator.
  --help         This text.

The adapter
  Every command is a line ended by a carriage return (line feeds are
  ignored).  Accepted commands are answered with a carriage return, refused,
  unknown and malformed ones with BEL.
    S0..S8, sXXYY        bit rate by code / bit-timing registers  }  only while
    Mxxxxxxxx, mxxxxxxxx acceptance code / mask (stored only)      }  the CAN
    Z0, Z1               time stamps on received frames off / on   }  channel is
    D0, D1               acceptance filter mode                    }  closed
    O, L, Y              open the CAN channel (L = listen-only); refused when open
    C                    close the CAN channel
    tIIILDD.., TIIIIIIIILDD.., rIIIL, RIIIIIIIIL
                         transmit (open and not listen-only); answered with
                         "z\r" (standard) or "Z\r" (extended)
    F                    "F" + status byte (two hex digits) + "\r"
    N                    "N" + serial number + "\r"
    V                    "V" + hardware and software version (4 hex digits) + "\r"
  Frames sent to the host are frame lines in the same shapes; with Z1 they
  carry a 4-digit time stamp, milliseconds modulo 60000.  Frames are only
  sent while the CAN channel is open (any mode) and a host is connected.

The quiet dialect (--dialect quiet)
  Nothing is answered, neither accepted nor unknown commands, except
    V                    one line of free text (--version-text) + "\r"
  Known commands ("ignored COMMAND" in the event log for all others):
    O                    open the CAN channel ("state open O", or "state
                         open O silent" in silent mode)
    C                    close the CAN channel
    S0..S8               bit rate by code                   }  only while the
    M0, M1               silent (listen-only) mode off / on }  CAN channel is
    A0, A1               automatic retransmission off / on  }  closed
    tIIILDD.., TIIIIIIIILDD.., rIIIL, RIIIIIIIIL
                         transmit while open and not silent; else dropped
  Frames sent to the host carry no time stamp (there is no "Z").

The fd dialect (--dialect fd)
  The full command set, and:
    Y0, Y1, Y2, Y4, Y5, Y8
                         data bit rate 500k, 1M, 2M, 4M, 5M, 8M (only while
                         the CAN channel is closed; "set dbitrate=Yn")
    dIIILDD.., DIIIIIIIILDD..
                         transmit a CAN FD frame; "b", "B" the same with
                         bit-rate switch.  L is 0..F: 0..8 bytes, then 12,
                         16, 20, 24, 32, 48, 64 bytes.  The reply is "z\r" or
                         "Z\r".
  The quiet-fd dialect takes the same "Yn" and FD lines as the quiet one
  takes its commands: without a reply.
  The other dialects refuse "Yn" and FD lines, and drop the FD frames of
  the virtual bus ("bus dropped LINE").  Frames sent to the host (send,
  flood, the bus) may be FD lines in the same shapes.

Control channel (standard input, one command per line)
  Every command is answered with "ok COMMAND" or "error COMMAND: reason".
  Frames are written cansend style (123#AABB, 12345678#01, 123#R, 123#R4;
  3 identifier digits = standard, 8 = extended) or as Lawicel frame lines
  (t1232AABB, with or without time stamp), which are sent exactly as given.
  Byte texts (raw, reply) take the escapes \r \n \a \t \0 \\ \xHH.

  send FRAME [count=N] [every=MS] [ts=on|off|auto]
      Send FRAME N times (default 1; 0 = until "stop").  Without every= the
      frames leave as fast as the line takes them and wait while the channel
      is closed; with every=MS they fall due every MS milliseconds and those
      due while the channel is closed or the host does not read are lost,
      as on a real bus.  ts= forces the time stamp on or off (default: as
      set by Z0/Z1).
        send 123#AABB
        send 12345678#0102 count=10 every=50
        send t1232AABB
  flood N [id=ID] [len=L] [ts=on|off|auto]
      Send N frames back to back as fast as the line takes them.  Data is L
      bytes (4..8, default 8; in the fd dialect also 12, 16, 20, 24, 32, 48,
      64, sent as FD frames with bit-rate switch): the sequence number 0,
      1, ... as 32-bit big endian, then the complement of the four bytes
      before, so a reader can check order and loss.  ID is cansend style
      (default 100).
        flood 200000
        flood 1000 id=1FFFFFFF len=4
        flood 20000 len=64         (--dialect fd)
  stop                 End every send and flood.
  raw TEXT             Send the bytes of TEXT at once, whatever the state
                       (an error while no TCP client is connected; the same
                       for garbage and overlong).
                         raw t12\r
  garbage [N]          Send N (default 40) random bytes other than CR, then CR.
  overlong [N]         Send a frame-like line of N (default 200) characters.
  status HH            Set the status byte of the "F" reply.     status 04
  serial TEXT          Set the serial number of the "N" reply.   serial 0042
  version HHSS         Set the "V" reply's versions.             version 1013
  fault MODE           none     normal behaviour (also clears reply and delay)
                       silence  read and log commands, answer and do nothing
                       refuse   answer every command with BEL, do nothing
                       stall    stop reading the host's side: its writes
                                stall once the buffers are full
  reply X TEXT|none|default
                       Answer commands starting with letter X with TEXT
                       instead (the command still takes effect), with
                       nothing, or normally again.
                         reply N N12345678901234\r     (overlong serial)
                         reply V V1\r                  (short version)
  delay X MS           Answer commands starting with X MS milliseconds late
                       (0 = at once).          delay F 500
  close                Drop the connection: close the TCP client, or close
                       the pseudo-terminal and open a new one behind the same
                       link (as if the adapter was unplugged and plugged in).
  unplug               The adapter leaves: hang up the pseudo-terminal and
                       remove its link, or close the TCP client and stop
                       listening; the adapter's settings are forgotten.
  plug [LINK]          The adapter comes back: a new pseudo-terminal behind
                       LINK (default: the link it had), or listening on the
                       same TCP port again.
  info                 Report the state in an "info" event (pending= counts
                       the bytes not yet written to the host).
  log rx|tx on|off     Switch "rx" or "tx" events.
  quit                 End the simulator.

Event log (standard output, one line per event, flushed)
  ready pty=PATH link=LINK   the pseudo-terminal is ready (again after "close")
  ready tcp=PORT             listening on 127.0.0.1:PORT
  client connected           a TCP client connected
  client closed              the TCP client went away or was replaced
  closed                     "close" dropped the connection
  unplugged | plugged        "unplug" and "plug" happened
  rx COMMAND                 a command line from the host, bytes outside
                             0x20..0x7E as \xHH ("rx" alone: an empty line)
  refused COMMAND            ... answered with BEL
  ignored COMMAND            ... done nothing with (quiet dialect)
  state open O|L|Y           the CAN channel opened (L = listen-only)
  state closed               the CAN channel closed
  set bitrate=S6 | set btr=031C | set code=XXXXXXXX | set mask=XXXXXXXX |
  set timestamps=0|1 | set filter=0|1 | set silent=0|1 | set retransmit=0|1
                             a setting was accepted
  tx LINE                    a frame line went to the host (with --log-tx)
  bus peers=N                N other simulators are on the bus
  bus rx LINE                a frame from another simulator on the bus
  done send FRAME sent=N lost=M
  done flood sent=N lost=M   a send or flood ended
  info ...                   answer to "info"
  ok COMMAND | error COMMAND: REASON
  bye                        the simulator ends

Example session
  $ korva_sim --pty /tmp/korva/ttyUSB0
  ready pty=/dev/pts/4 link=/tmp/korva/ttyUSB0
  rx S6                       (host: bit rate 500 kbit/s)
  set bitrate=S6
  rx O
  state open O
  send 123#AABB               (typed by you)
  ok send 123#AABB
  done send 123#AABB sent=1 lost=0
)";

} // namespace korva_sim
