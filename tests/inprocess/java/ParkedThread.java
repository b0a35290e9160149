import java.util.concurrent.CountDownLatch;

// A thread that waits until the test lets it end, so that the test can announce, name and end its
// record while it lives.
public final class ParkedThread extends Thread {
  private final CountDownLatch parked = new CountDownLatch(1);
  private final CountDownLatch released = new CountDownLatch(1);

  // In a new group of that name, or in the creating thread's group when the name is null.
  public ParkedThread(String groupName, String name, boolean daemon) {
    super(groupName == null ? Thread.currentThread().getThreadGroup() : new ThreadGroup(groupName), name);
    setDaemon(daemon);
  }

  // Starts the thread and returns once it waits.
  public void startParked() throws InterruptedException {
    start();
    parked.await();
  }

  // Lets the thread end and waits for it; a thread never started just stays so.
  public void finish() throws InterruptedException {
    released.countDown();
    if (getState() != Thread.State.NEW) join();
  }

  @Override
  public void run() {
    parked.countDown();
    try {
      released.await();
    } catch (InterruptedException e) {
      // ending early is ending
    }
  }
}
