package core;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;

/**
 * Finds and loads the native library behind {@link SerialPort}, in this order:
 * the file named by the system property {@code serialslots.library};
 * {@code System.loadLibrary} from {@code java.library.path}; the copy inside
 * the jar, extracted into a fresh owner-only temporary directory (in the
 * temporary directory, else the user's runtime or cache directory).
 */
final class NativeLoader {

    private NativeLoader() {
    }

    static void load() {
        String property = System.getProperty(SerialPort.LIBRARY_PROPERTY);
        if (property != null && !property.isEmpty()) {
            // An explicit choice is honoured alone: falling back would hide a wrong path.
            String why = tryLoad(new File(property));
            if (why != null) {
                throw new UnsatisfiedLinkError("Cannot load the serial library: "
                        + SerialPort.LIBRARY_PROPERTY + "=" + property + ": " + why
                        + " (no other way is tried while that property is set)");
            }
            return;
        }
        String fromPath;
        try {
            System.loadLibrary(SerialPort.LIBRARY_NAME);
            return;
        } catch (UnsatisfiedLinkError e) {
            fromPath = e.getMessage();
        }
        String fromJar = loadBundled();
        if (fromJar != null) {
            throw new UnsatisfiedLinkError("Cannot load the serial library: tried "
                    + SerialPort.LIBRARY_PROPERTY + " (not set); java.library.path ("
                    + fromPath + "); the copy in the jar (" + fromJar + ")");
        }
    }

    /** Loads the library from a file; answers null on success, else why not. */
    private static String tryLoad(File file) {
        if (!file.isFile()) {
            return "no such file";
        }
        try {
            System.load(file.getAbsolutePath());
            return null;
        } catch (UnsatisfiedLinkError e) {
            return e.getMessage();
        }
    }

    static String resourceDirectory() {
        return "/native/" + platform();
    }

    /** The platforms whose files a full build of the jar carries. */
    private static final List<String> PLATFORMS = List.of("linux-x86_64", "linux-aarch64", "linux-arm");

    private static String platform() {
        String os = System.getProperty("os.name", "").toLowerCase(Locale.ROOT);
        String arch = switch (System.getProperty("os.arch", "").toLowerCase(Locale.ROOT)) {
            case "amd64", "x86_64" -> "x86_64";
            case "aarch64", "arm64" -> "aarch64";
            case "arm", "armhf", "armv7l", "aarch32" -> "arm";
            default -> System.getProperty("os.arch", "").toLowerCase(Locale.ROOT);
        };
        return (os.startsWith("linux") ? "linux" : os.replace(' ', '_')) + "-" + arch;
    }

    /**
     * Extracts and loads the jar's copy; answers null on success, else why not.
     * The temporary directory comes first; where it is mounted noexec the
     * library cannot be mapped from it, so the user's runtime and cache
     * directories are tried next.
     */
    private static String loadBundled() {
        String resource = resourceDirectory() + "/" + System.mapLibraryName(SerialPort.LIBRARY_NAME);
        if (NativeLoader.class.getResource(resource) == null) {
            List<String> held = PLATFORMS.stream().filter(platform -> NativeLoader.class.getResource(
                    "/native/" + platform + "/" + System.mapLibraryName(SerialPort.LIBRARY_NAME)) != null).toList();
            return "the jar holds no library for " + platform() + " (it holds " + (held.isEmpty() ? "none"
                    : String.join(", ", held)) + ")";
        }
        List<String> failures = new ArrayList<>();
        for (Path base : extractionBases()) {
            String why = loadBundledFrom(resource, base);
            if (why == null) {
                return null;
            }
            failures.add(base + ": " + why);
        }
        return String.join("; ", failures);
    }

    private static List<Path> extractionBases() {
        List<Path> bases = new ArrayList<>();
        bases.add(Path.of(System.getProperty("java.io.tmpdir")));
        String runtime = System.getenv("XDG_RUNTIME_DIR");
        if (runtime != null && !runtime.isEmpty()) {
            bases.add(Path.of(runtime));
        }
        bases.add(Path.of(System.getProperty("user.home"), ".cache"));
        return bases;
    }

    private static String loadBundledFrom(String resource, Path base) {
        Path directory = null;
        Path library = null;
        try (InputStream in = NativeLoader.class.getResourceAsStream(resource)) {
            Files.createDirectories(base);
            // A new directory only its owner can enter: no one can swap the file
            // between writing and loading it.
            directory = Files.createTempDirectory(base, "serialslots-",
                    PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
            library = directory.resolve(System.mapLibraryName(SerialPort.LIBRARY_NAME));
            Files.copy(in, library, StandardCopyOption.REPLACE_EXISTING);
            return tryLoad(library.toFile());
        } catch (IOException | UnsupportedOperationException | SecurityException e) {
            return "cannot extract: " + e;
        } finally {
            // Once loaded the mapping stays valid, so nothing is left behind.
            deleteQuietly(library);
            deleteQuietly(directory);
        }
    }

    private static void deleteQuietly(Path path) {
        if (path != null) {
            try {
                Files.deleteIfExists(path);
            } catch (IOException e) {
                path.toFile().deleteOnExit();
            }
        }
    }
}
