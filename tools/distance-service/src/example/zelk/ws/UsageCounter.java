package example.zelk.ws;

import java.time.LocalDate;
import java.time.ZoneOffset;
import java.util.HashMap;
import java.util.Map;

/** Answers with a route counted per PIN and per UTC day, in memory (a restart resets it). */
final class UsageCounter {
    private final int dayLimit;
    private final Map<String, Integer> counts = new HashMap<>();
    private LocalDate day;

    UsageCounter(int dayLimit) {
        this.dayLimit = dayLimit;
    }

    int dayLimit() {
        return dayLimit;
    }

    private void rollOver() {
        LocalDate today = LocalDate.now(ZoneOffset.UTC);
        if (!today.equals(day)) {
            counts.clear();
            day = today;
        }
    }

    synchronized int used(String pin) {
        rollOver();
        return counts.getOrDefault(pin, 0);
    }

    /** Counts one use; returns the new count, or -1 when the limit is already reached. */
    synchronized int tryUse(String pin) {
        rollOver();
        int used = counts.getOrDefault(pin, 0);
        if (used >= dayLimit) {
            return -1;
        }
        counts.put(pin, used + 1);
        return used + 1;
    }
}
