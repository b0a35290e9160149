import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.concurrent.atomic.AtomicLong;

/**
 * A small workload to profile: worker threads that compute (primes, sorting, checksums), allocate, contend
 * for a lock and throw, for a few seconds, then print what they did.
 */
public class Demo {
    private static final Object sharedLock = new Object();
    private static long sharedCounter;
    private static long sharedChecksum;
    private static final AtomicLong exceptionsCaught = new AtomicLong();

    public static void main(String[] args) throws InterruptedException {
        int seconds = args.length > 0 ? Integer.parseInt(args[0]) : 3;
        long deadline = System.nanoTime() + seconds * 1_000_000_000L;
        List<Thread> workers = new ArrayList<>();
        long[] primesFound = new long[4];
        for (int i = 0; i < primesFound.length; i++) {
            int index = i;
            Thread worker = new Thread(() -> primesFound[index] = work(deadline, index), "demo-worker-" + i);
            workers.add(worker);
            worker.start();
        }
        for (Thread worker : workers) worker.join();
        long primes = 0;
        for (long count : primesFound) primes += count;
        System.out.println("demo: " + workers.size() + " threads counted " + primes + " primes, took the shared lock "
            + sharedCounter + " times and caught " + exceptionsCaught.get() + " exceptions");
    }

    // One round: the primes of a block of numbers, a tally of random numbers, a checksum of a buffer (part
    // of it again under the shared lock), some garbage, and now and then an exception.
    private static long work(long deadline, int seed) {
        Random random = new Random(seed);
        byte[] buffer = new byte[128 * 1024];
        random.nextBytes(buffer);
        List<String> garbage = new ArrayList<>();
        long primes = 0;
        for (int round = 1; System.nanoTime() < deadline; round++) {
            primes += countPrimes(1_000_000 + round % 1000 * 1_000, 1_000);
            tallyRandomNumbers(random, 4_000);
            buffer[round % buffer.length] ^= (byte) round;
            long checksum = checksum(buffer, buffer.length);
            garbage.add("round " + round + ": checksum " + checksum);
            if (garbage.size() > 1000) garbage.clear();
            synchronized (sharedLock) {
                sharedCounter++;
                sharedChecksum += checksum(buffer, buffer.length / 4);
            }
            if (round % 20 == 0) {
                try {
                    Integer.parseInt("not a number " + round);
                } catch (NumberFormatException expected) {
                    exceptionsCaught.incrementAndGet();
                }
            }
        }
        return primes;
    }

    private static int countPrimes(int from, int count) {
        int primes = 0;
        for (int n = from; n < from + count; n++) {
            if (isPrime(n)) primes++;
        }
        return primes;
    }

    private static boolean isPrime(int n) {
        for (int d = 2; (long) d * d <= n; d++) {
            if (n % d == 0) return false;
        }
        return n > 1;
    }

    // How often each of 1000 values comes up in `count` random draws.
    private static Map<Integer, Integer> tallyRandomNumbers(Random random, int count) {
        Map<Integer, Integer> tally = new HashMap<>();
        for (int i = 0; i < count; i++) tally.merge(random.nextInt(1000), 1, Integer::sum);
        return tally;
    }

    // FNV-1a over the first `length` bytes.
    private static long checksum(byte[] bytes, int length) {
        long hash = 0xcbf29ce484222325L;
        for (int i = 0; i < length; i++) {
            hash ^= bytes[i];
            hash *= 0x100000001b3L;
        }
        return hash;
    }
}
