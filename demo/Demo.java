import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Random;

/**
 * The workload that scripts/demo.sh profiles. Four workers run a fixed number of rounds each: they count
 * primes, tally random draws and checksum a buffer (CPU), record an order (allocations), post it to the
 * shared ledger (a contended monitor), and now and then meet a quantity that is not a number or an item
 * out of stock (exceptions). Before they start, the program builds its catalog and its image cache, the
 * biggest object graphs of its heap. At the end it prints what it did, in figures that do not depend on
 * timing, so that every recording can be checked against them. Usage: Demo [ROUNDS]
 */
public class Demo {
    static final int WORKERS = 4;
    static final int PRODUCTS = 50_000;
    static final int PRICE_HISTORY = 100;
    static final int IMAGES = 48;
    static final int IMAGE_BYTES = 128 * 1024;
    static final int ORDER_LINES = 64;
    static final int BAD_QUANTITY_EVERY = 10;
    static final int OUT_OF_STOCK_EVERY = 25;

    // The application's state, held by static fields as caches and registries are.
    static Catalog catalog;  // the biggest object graph
    static ImageCache images;
    static final Ledger ledger = new Ledger();
    static Worker[] workers;

    public static void main(String[] args) throws InterruptedException {
        int rounds = args.length > 0 ? Integer.parseInt(args[0]) : 300;
        catalog = new Catalog(PRODUCTS);
        images = new ImageCache(IMAGES, IMAGE_BYTES);
        workers = new Worker[WORKERS];
        for (int i = 0; i < WORKERS; i++) workers[i] = new Worker(i, rounds);
        // The ledger opens once every worker waits for it, so that the first posts always contend.
        synchronized (ledger) {
            for (Worker worker : workers) worker.start();
            for (Worker worker : workers) {
                while (worker.getState() != Thread.State.BLOCKED) Thread.sleep(1);
            }
        }
        long primes = 0;
        int badQuantities = 0;
        int outOfStock = 0;
        int orders = 0;
        for (Worker worker : workers) {
            worker.join();
            primes += worker.primes;
            badQuantities += worker.badQuantities;
            outOfStock += worker.outOfStock;
            orders += worker.orders.size();
        }
        int calls = WORKERS * rounds;
        System.out.println("demo: " + WORKERS + " workers ran " + rounds + " rounds each: " + calls
            + " calls each of Demo.countPrimes, Demo.tallyRandomNumbers, Demo.checksum and Demo$Ledger.post");
        System.out.println("demo: made " + orders + " Demo$Order objects, each with a long[" + ORDER_LINES + "]");
        System.out.println("demo: caught " + badQuantities + " NumberFormatException thrown by Integer.parseInt and "
            + outOfStock + " Demo$OutOfStockException thrown by Demo.reserve");
        System.out.println("demo: built a catalog of " + catalog.size() + " products (the biggest object graph) and "
            + "an image cache of " + images.count() + " images of " + IMAGE_BYTES / 1024 + " KB");
        System.out.println("demo: counted " + primes + " primes; the ledger took " + ledger.posts() + " posts");
    }

    static final class Worker extends Thread {
        final int seed;
        final int rounds;
        final List<Order> orders = new ArrayList<>();
        long primes;
        int badQuantities;
        int outOfStock;

        Worker(int seed, int rounds) {
            super("demo-worker-" + seed);
            this.seed = seed;
            this.rounds = rounds;
        }

        @Override
        public void run() {
            work();
        }

        // One round: the primes of a block of numbers, a tally of random draws, a checksum of a buffer, an
        // order posted to the ledger; every few rounds a bad quantity and an item out of stock.
        void work() {
            Random random = new Random(seed);
            byte[] buffer = new byte[64 * 1024];
            random.nextBytes(buffer);
            for (int round = 1; round <= rounds; round++) {
                primes += countPrimes(1_000_000 + round % 1000 * 1_000, 1_000);
                tallyRandomNumbers(random, 20_000);
                buffer[round % buffer.length] ^= (byte) round;
                long checksum = checksum(buffer, buffer.length);
                Order order = newOrder(round, checksum);
                orders.add(order);
                ledger.post(order, buffer);
                if (round % BAD_QUANTITY_EVERY == 0 && parseQuantity("quantity " + round) < 0) badQuantities++;
                if (round % OUT_OF_STOCK_EVERY == 0) {
                    try {
                        reserve(order);
                    } catch (OutOfStockException expected) {
                        outOfStock++;
                    }
                }
            }
        }

        Order newOrder(int round, long checksum) {
            long[] lines = new long[ORDER_LINES];
            for (int i = 0; i < lines.length; i++) lines[i] = checksum + i;
            return new Order(seed, round, lines);
        }
    }

    static int countPrimes(int from, int count) {
        int primes = 0;
        for (int n = from; n < from + count; n++) {
            if (isPrime(n)) primes++;
        }
        return primes;
    }

    static boolean isPrime(int n) {
        for (int d = 2; (long) d * d <= n; d++) {
            if (n % d == 0) return false;
        }
        return n > 1;
    }

    // How often each of 1000 values comes up in `count` random draws.
    static int[] tallyRandomNumbers(Random random, int count) {
        int[] tally = new int[1000];
        for (int i = 0; i < count; i++) tally[random.nextInt(tally.length)]++;
        return tally;
    }

    // FNV-1a over the first `length` bytes.
    static long checksum(byte[] bytes, int length) {
        long hash = 0xcbf29ce484222325L;
        for (int i = 0; i < length; i++) {
            hash ^= bytes[i];
            hash *= 0x100000001b3L;
        }
        return hash;
    }

    // -1 for a text that is no number.
    static int parseQuantity(String text) {
        try {
            return Integer.parseInt(text);
        } catch (NumberFormatException notANumber) {
            return -1;
        }
    }

    static void reserve(Order order) throws OutOfStockException {
        throw new OutOfStockException("item " + order.lines[0] % PRODUCTS + " is out of stock");
    }

    static final class OutOfStockException extends Exception {
        OutOfStockException(String message) {
            super(message);
        }
    }

    static final class Order {
        final int worker;
        final int round;
        final long[] lines;

        Order(int worker, int round, long[] lines) {
            this.worker = worker;
            this.round = round;
            this.lines = lines;
        }
    }

    // The monitor every worker posts to: a post holds it while it checks half of the poster's buffer.
    static final class Ledger {
        private int posts;
        private long total;

        synchronized void post(Order order, byte[] buffer) {
            posts++;
            total += order.lines[0] ^ checksum(buffer, buffer.length / 2);
        }

        synchronized int posts() {
            return posts;
        }
    }

    static final class Product {
        final String name;
        final int[] priceHistory;

        Product(String name, int[] priceHistory) {
            this.name = name;
            this.priceHistory = priceHistory;
        }
    }

    static final class Catalog {
        private final Map<String, Product> products = new HashMap<>();

        Catalog(int count) {
            for (int i = 0; i < count; i++) {
                int[] prices = new int[PRICE_HISTORY];
                for (int k = 0; k < prices.length; k++) prices[k] = 100 + (i * 31 + k) % 900;
                String name = "product-" + i;
                products.put(name, new Product(name, prices));
            }
        }

        int size() {
            return products.size();
        }
    }

    static final class ImageCache {
        private final byte[][] images;

        ImageCache(int count, int bytes) {
            images = new byte[count][];
            for (int i = 0; i < count; i++) {
                images[i] = new byte[bytes];
                images[i][0] = (byte) i;
            }
        }

        int count() {
            return images.length;
        }
    }
}
