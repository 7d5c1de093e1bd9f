package serialslots.internal;

/** The virtual serial lab that the demo runs in, as the library sees it. */
public final class VirtualLab {

    static {
        NativeLibrary.load();
    }

    private VirtualLab() {
    }

    /** @return true only inside the lab, whose /dev is its own: no device there is the host's */
    public static native boolean inside();

    /** @return the jar's resource holding this platform's lab launcher */
    public static String launcherResource() {
        return NativeLibrary.resourceDirectory() + "/serial-lab";
    }
}
