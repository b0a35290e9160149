import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicLong;

/**
 * A small workload to profile: worker threads that compute, allocate, contend for a lock and throw,
 * for a few seconds, then print what they did.
 */
public class Demo {
    private static final Object sharedLock = new Object();
    private static long sharedCounter;
    private static final AtomicLong exceptionsCaught = new AtomicLong();

    public static void main(String[] args) throws InterruptedException {
        int seconds = args.length > 0 ? Integer.parseInt(args[0]) : 3;
        long deadline = System.nanoTime() + seconds * 1_000_000_000L;
        List<Thread> workers = new ArrayList<>();
        long[] primesFound = new long[4];
        for (int i = 0; i < primesFound.length; i++) {
            int index = i;
            Thread worker = new Thread(() -> primesFound[index] = work(deadline), "demo-worker-" + i);
            workers.add(worker);
            worker.start();
        }
        for (Thread worker : workers) worker.join();
        long primes = 0;
        for (long count : primesFound) primes += count;
        System.out.println("demo: " + workers.size() + " threads found " + primes + " primes, took the shared lock "
            + sharedCounter + " times and caught " + exceptionsCaught.get() + " exceptions");
    }

    private static long work(long deadline) {
        long primes = 0;
        int candidate = 2;
        List<String> garbage = new ArrayList<>();
        while (System.nanoTime() < deadline) {
            if (isPrime(candidate++)) primes++;
            if (candidate % 1000 == 0) {
                garbage.add("candidate " + candidate);
                if (garbage.size() > 1000) garbage.clear();
                synchronized (sharedLock) {
                    sharedCounter++;
                }
            }
            if (candidate % 50_000 == 0) {
                try {
                    Integer.parseInt("not a number " + candidate);
                } catch (NumberFormatException expected) {
                    exceptionsCaught.incrementAndGet();
                }
            }
        }
        return primes;
    }

    private static boolean isPrime(int n) {
        for (int d = 2; (long) d * d <= n; d++) {
            if (n % d == 0) return false;
        }
        return n > 1;
    }
}
