package lab;

/**
 * Far ends of the virtual serial lab, for programs running inside it: a
 * pseudo-terminal put at a device path such as /dev/ttyS1, whose master this
 * class holds to inject bytes, take what was sent and read back settings.
 */
public final class SerialLab {

    static {
        System.loadLibrary("seriallab_jni");
    }

    private SerialLab() {
    }

    /** The terminal settings of a far end's device, as the library left them. */
    public static final class Attributes {
        public final int iflag;
        public final int oflag;
        public final int cflag;
        public final int lflag;
        public final long inputBaud;
        public final long outputBaud;
        public final int vmin;
        public final int vtime;
        /** Bytes received and not yet read; only {@link #deviceState} counts them. */
        public final int waiting;

        Attributes(long[] values) {
            iflag = (int) values[0];
            oflag = (int) values[1];
            cflag = (int) values[2];
            lflag = (int) values[3];
            inputBaud = values[4];
            outputBaud = values[5];
            vmin = (int) values[6];
            vtime = (int) values[7];
            waiting = (int) values[8];
        }
    }

    /** A pty whose slave stands at a device path; closing it hangs the device up. */
    public static final class FarEnd implements AutoCloseable {
        private final String devicePath;
        private int fd;
        private volatile boolean echoing;
        private Thread echo;

        FarEnd(String devicePath, int fd) {
            this.devicePath = devicePath;
            this.fd = fd;
        }

        public String devicePath() {
            return devicePath;
        }

        /** Bytes that arrive at the device as if they came down the line. */
        public void inject(byte... bytes) {
            SerialLab.inject(fd, bytes);
        }

        /** What was sent: waits up to waitMillis for the first byte and between bytes. */
        public byte[] take(int max, int waitMillis) {
            return SerialLab.take(fd, max, waitMillis);
        }

        public Attributes attributes() {
            return new Attributes(SerialLab.attributes(fd));
        }

        /** From now on, everything sent to the device comes straight back. */
        public synchronized FarEnd echo() {
            if (echo == null) {
                echoing = true;
                echo = new Thread(() -> {
                    while (echoing) {
                        byte[] bytes = SerialLab.takeWaiting(fd, 4096, 5);
                        if (bytes.length > 0) {
                            inject(bytes);
                        }
                    }
                }, "echo " + devicePath);
                echo.setDaemon(true);
                echo.start();
            }
            return this;
        }

        /** The device disappears: its pty master closes. */
        @Override
        public synchronized void close() {
            if (echo != null) {
                echoing = false;
                try {
                    echo.join();
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
                echo = null;
            }
            if (fd >= 0) {
                SerialLab.hangUp(fd);
                fd = -1;
            }
        }
    }

    /** Puts a new pty at devicePath, replacing whatever is there. */
    public static FarEnd attach(String devicePath) {
        return new FarEnd(devicePath, attachPty(devicePath));
    }

    /**
     * The settings and waiting input of a device that other code holds open,
     * read through a descriptor of its own. Only inside the serial lab or the
     * hardware lab's virtual machine, whose devices are never the host's.
     */
    public static Attributes deviceState(String devicePath) {
        return new Attributes(readDeviceState(devicePath));
    }

    private static native long[] readDeviceState(String devicePath);

    /** Raises (on) or lowers the modem control bits of a device, as deviceState opens it. */
    public static native void modemControl(String devicePath, int bits, boolean on);

    /** Whether a UART's transmitter is empty, its last stop bit sent (TIOCSERGETLSR), as deviceState opens it. */
    public static native boolean transmitterEmpty(String devicePath);

    /** True only inside the lab, where /dev is the lab's own. */
    public static native boolean insideLab();

    /** Puts a regular "file", a "directory", a "fifo", a dangling "link" or, for any other kind, nothing at path. */
    public static void makeNode(String kind, String path) throws java.io.IOException {
        java.nio.file.Path node = java.nio.file.Path.of(path);
        java.nio.file.Files.deleteIfExists(node);
        switch (kind) {
            case "file" -> java.nio.file.Files.write(node, new byte[0]);
            case "directory" -> java.nio.file.Files.createDirectory(node);
            case "fifo" -> makeFifo(path);
            case "link" -> java.nio.file.Files.createSymbolicLink(node, java.nio.file.Path.of("/dev/gone"));
            default -> { }
        }
    }

    private static native void makeFifo(String path);

    /**
     * How many descriptors the process holds on the lab's serial nodes: pty
     * slaves and whatever stands at /dev/tty*. The far ends' masters and the
     * JVM's own files, pipes and sockets, which come and go with its threads,
     * are not counted.
     */
    public static int deviceDescriptors() {
        java.io.File[] entries = new java.io.File("/proc/self/fd").listFiles();
        int count = 0;
        for (java.io.File entry : entries == null ? new java.io.File[0] : entries) {
            try {
                String target = java.nio.file.Files.readSymbolicLink(entry.toPath()).toString();
                if ((target.startsWith("/dev/pts/") && !target.equals("/dev/pts/ptmx"))
                        || target.startsWith("/dev/tty")) {
                    count++;
                }
            } catch (java.io.IOException gone) {
                // closed while listing, such as the listing's own descriptor
            }
        }
        return count;
    }

    private static native int attachPty(String devicePath);

    private static native void inject(int fd, byte[] bytes);

    private static native byte[] take(int fd, int max, int waitMillis);

    private static native byte[] takeWaiting(int fd, int max, int waitMillis);

    private static native long[] attributes(int fd);

    private static native void hangUp(int fd);
}
