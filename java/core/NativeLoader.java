package core;

import java.io.File;

/** Finds and loads the native library behind {@link SerialPort}. */
final class NativeLoader {

    private NativeLoader() {
    }

    static void load() {
        String path = System.getProperty(SerialPort.LIBRARY_PROPERTY);
        if (path != null && !path.isEmpty()) {
            File file = new File(path);
            if (!file.isFile()) {
                throw new UnsatisfiedLinkError("Cannot load the serial library: "
                        + SerialPort.LIBRARY_PROPERTY + "=" + path + " names no file");
            }
            System.load(file.getAbsolutePath());
            return;
        }
        System.loadLibrary(SerialPort.LIBRARY_NAME);
    }
}
