package serialslots.internal;

import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;

/** Virtual threads where the JDK has them (21 and newer), without naming them on JDK 17. */
public final class Threads {

    private static final MethodHandle IS_VIRTUAL = isVirtual();

    private Threads() {
    }

    private static MethodHandle isVirtual() {
        try {
            return MethodHandles.publicLookup().findVirtual(Thread.class, "isVirtual",
                    MethodType.methodType(boolean.class));
        } catch (NoSuchMethodException | IllegalAccessException e) {
            return null;
        }
    }

    private static final MethodHandle OF_VIRTUAL = ofVirtual();

    private static MethodHandle ofVirtual() {
        try {
            return MethodHandles.publicLookup().findStatic(Thread.class, "startVirtualThread",
                    MethodType.methodType(Thread.class, Runnable.class));
        } catch (NoSuchMethodException | IllegalAccessException e) {
            return null;
        }
    }

    /**
     * Starts a thread that mostly waits (for a socket, for a listener):
     * virtual where the JDK has them (waiting costs it no thread of the
     * system), else a daemon with a small stack.
     */
    public static void start(String name, Runnable task) {
        if (OF_VIRTUAL != null) {
            try {
                Thread thread = (Thread) OF_VIRTUAL.invokeExact(task);
                thread.setName(name);
                return;
            } catch (Throwable e) {
                // fall back to a platform thread
            }
        }
        Thread thread = new Thread(null, task, name, 256 * 1024);
        thread.setDaemon(true);
        thread.start();
    }

    /** @return whether {@link #start} starts virtual threads */
    public static boolean virtualAvailable() {
        return OF_VIRTUAL != null;
    }

    public static boolean currentIsVirtual() {
        if (IS_VIRTUAL == null) {
            return false;
        }
        try {
            return (boolean) IS_VIRTUAL.invokeExact(Thread.currentThread());
        } catch (Throwable e) {
            return false;
        }
    }
}
