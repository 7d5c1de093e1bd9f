package tool;

import java.util.ArrayList;
import java.util.List;

/** Positional arguments and --options of one command. */
final class Arguments {

    final List<String> positional = new ArrayList<>();
    private final List<String> flags = new ArrayList<>();
    private final java.util.Map<String, String> values = new java.util.HashMap<>();

    /** Splits {@code args}; {@code valued} names the options that take a value. */
    Arguments(String[] args, List<String> valued, List<String> switches) throws SerialTool.UsageException {
        for (int i = 0; i < args.length; i++) {
            String arg = args[i];
            if (valued.contains(arg)) {
                if (i + 1 >= args.length) {
                    throw new SerialTool.UsageException(arg + " needs a value");
                }
                values.put(arg, args[++i]);
            } else if (switches.contains(arg)) {
                flags.add(arg);
            } else if (arg.startsWith("--")) {
                throw new SerialTool.UsageException("unknown option " + arg);
            } else {
                positional.add(arg);
            }
        }
    }

    boolean has(String flag) {
        return flags.contains(flag);
    }

    String value(String option) {
        return values.get(option);
    }

    int millis(String option, int fallback) throws SerialTool.UsageException {
        String text = values.get(option);
        if (text == null) {
            return fallback;
        }
        try {
            int value = Integer.parseInt(text);
            if (value < 0) {
                throw new NumberFormatException();
            }
            return value;
        } catch (NumberFormatException e) {
            throw new SerialTool.UsageException(option + " takes milliseconds, not '" + text + "'");
        }
    }
}
