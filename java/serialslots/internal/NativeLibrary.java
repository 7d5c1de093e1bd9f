package serialslots.internal;

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
 * The native library behind both APIs, loaded once, in this order: the file
 * named by the system property {@code serialslots.library} (alone, when set);
 * {@code System.loadLibrary} from {@code java.library.path}; the copy inside
 * the jar, extracted into a fresh owner-only directory (in the temporary
 * directory, else the user's runtime or cache directory) and removed once loaded.
 *
 * <p>The library's file name carries the version ({@code libserialslots-1.0.0.so}),
 * so a jar finds on the library path only a library of its own version, and
 * any library it loads must answer that version before anything else is used.
 */
public final class NativeLibrary {

    /** System property naming the native library file to load. */
    public static final String PROPERTY = "serialslots.library";

    /** The name for {@link System#loadLibrary}: the library of this version. */
    public static final String NAME = "serialslots-" + Build.VERSION;

    /** The platforms whose files a full build of the jar carries. */
    private static final List<String> PLATFORMS = List.of("linux-x86_64", "linux-aarch64", "linux-arm");

    private static boolean loaded;

    private NativeLibrary() {
    }

    /**
     * Loads the library unless it is loaded already.
     *
     * @throws UnsatisfiedLinkError naming each way tried and why it failed
     */
    public static synchronized void load() {
        if (!loaded) {
            loadOnce();
            loaded = true;
        }
    }

    private static void loadOnce() {
        String property = System.getProperty(PROPERTY);
        if (property != null && !property.isEmpty()) {
            // An explicit choice is honoured alone: falling back would hide a wrong path.
            String why = tryLoad(new File(property));
            if (why != null) {
                throw new UnsatisfiedLinkError("Cannot load the serial library: " + PROPERTY + "=" + property + ": "
                        + why + " (no other way is tried while that property is set)");
            }
            return;
        }
        String fromPath;
        try {
            System.loadLibrary(NAME);
            checkVersion(System.mapLibraryName(NAME) + " on java.library.path");
            return;
        } catch (UnsatisfiedLinkError e) {
            if (e.getMessage() != null && e.getMessage().startsWith(MISMATCH)) {
                throw e;
            }
            fromPath = e.getMessage();
        }
        String fromJar = loadBundled();
        if (fromJar != null) {
            throw new UnsatisfiedLinkError("Cannot load the serial library: tried " + PROPERTY + " (not set); "
                    + "java.library.path (" + fromPath + "); the copy in the jar (" + fromJar + ")");
        }
    }

    private static final String MISMATCH = "Cannot use the serial library: ";

    /**
     * Once a library is loaded its natives bind, so one of another version
     * cannot be replaced by the right one: it is refused, saying which.
     */
    private static void checkVersion(String where) {
        String found;
        try {
            found = version();
        } catch (UnsatisfiedLinkError e) {
            found = "unknown (it has no version)";
        }
        if (!Build.VERSION.equals(found)) {
            throw new UnsatisfiedLinkError(MISMATCH + where + " is version " + found + ", this jar is version "
                    + Build.VERSION);
        }
    }

    /** Loads the library from a file; answers null on success, else why not. */
    private static String tryLoad(File file) {
        if (!file.isFile()) {
            return "no such file";
        }
        try {
            System.load(file.getAbsolutePath());
        } catch (UnsatisfiedLinkError e) {
            return e.getMessage();
        }
        checkVersion(file.getAbsolutePath());
        return null;
    }

    /**
     * The folder in the jar that holds the native files for this machine.
     *
     * @return the folder, such as "/native/linux-x86_64"
     */
    public static String resourceDirectory() {
        return "/native/" + platform();
    }

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
        String file = System.mapLibraryName(NAME);
        String resource = resourceDirectory() + "/" + file;
        if (NativeLibrary.class.getResource(resource) == null) {
            List<String> held = PLATFORMS.stream()
                    .filter(platform -> NativeLibrary.class.getResource("/native/" + platform + "/" + file) != null)
                    .toList();
            return "the jar holds no library for " + platform() + " (it holds "
                    + (held.isEmpty() ? "none" : String.join(", ", held)) + ")";
        }
        List<String> failures = new ArrayList<>();
        for (Path base : extractionBases()) {
            String why = loadBundledFrom(resource, base, file);
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

    private static String loadBundledFrom(String resource, Path base, String file) {
        Path directory = null;
        Path library = null;
        try (InputStream in = NativeLibrary.class.getResourceAsStream(resource)) {
            Files.createDirectories(base);
            // A new directory only its owner can enter: no one can swap the file
            // between writing and loading it.
            directory = Files.createTempDirectory(base, "serialslots-",
                    PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
            library = directory.resolve(file);
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

    /** The version the library was built as. */
    private static native String version();
}
