package serialslots;

import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;

/** Whether the calling thread is virtual, on JDK 21 and newer; never on JDK 17. */
final class Threads {

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

    static boolean currentIsVirtual() {
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
