import java.io.IOException;
import java.util.List;

import org.objectweb.asm.ClassReader;
import org.objectweb.asm.ClassVisitor;
import org.objectweb.asm.ClassWriter;
import org.objectweb.asm.MethodVisitor;
import org.objectweb.asm.Opcodes;
import org.objectweb.asm.Type;
import org.objectweb.asm.commons.AdviceAdapter;

/**
 * ASM's instrumentation of every class file under a directory, the reference for the agent's
 * instrumentation benchmark (BM_ClassFileInstrument in bench/ClassFileBench.cpp) over the same files. Every
 * method with code gets an entry call (LDC of its id, LDC of a long, INVOKESTATIC
 * com/brantel/runtime/Callback.bzpMethodEntry (IJ)J, LSTORE into a new local) and an exit call before
 * every return (LDC of its id, LLOAD of that local, INVOKESTATIC bzpMethodExit (IJ)V), through
 * AdviceAdapter into a ClassWriter with COMPUTE_MAXS. The frames stay as they are, only given the new
 * local: AdviceAdapter's local remapping takes expanded frames, so the reader expands them, as the agent's
 * parse does. The classes are loaded into memory first, the JIT is warmed up with full passes, then five
 * passes are timed and their median printed in classes per second, once with a fresh ClassWriter and once
 * with a ClassWriter that starts from the reader's constant pool (ASM's own shortcut for transformations).
 *
 * <p>Argument: the corpus directory. Output lines: "classes N", "refused N" (files that ASM cannot read
 * or instrument), "methods N" (methods instrumented in one pass), "instrument_per_second X",
 * "instrument_shared_pool_per_second X".
 */
public final class AsmInstrument {
  private static final String CALLBACK = "com/brantel/runtime/Callback";

  /** Adds the entry and exit calls to every method of a class and counts the methods. */
  private static final class Instrumenter extends ClassVisitor {
    int methods;

    Instrumenter(ClassVisitor next) {
      super(Opcodes.ASM9, next);
    }

    @Override
    public MethodVisitor visitMethod(int access, String name, String descriptor, String signature,
                                     String[] exceptions) {
      MethodVisitor next = super.visitMethod(access, name, descriptor, signature, exceptions);
      if ((access & (Opcodes.ACC_ABSTRACT | Opcodes.ACC_NATIVE)) != 0) return next;
      final int methodId = ++methods;
      return new AdviceAdapter(Opcodes.ASM9, next, access, name, descriptor) {
        private int result;

        @Override
        protected void onMethodEnter() {
          visitLdcInsn(methodId);
          visitLdcInsn((long) methodId << 32 | 1);
          visitMethodInsn(INVOKESTATIC, CALLBACK, "bzpMethodEntry", "(IJ)J", false);
          result = newLocal(Type.LONG_TYPE);
          storeLocal(result);
        }

        @Override
        protected void onMethodExit(int opcode) {
          if (opcode == ATHROW) return;
          visitLdcInsn(methodId);
          loadLocal(result);
          visitMethodInsn(INVOKESTATIC, CALLBACK, "bzpMethodExit", "(IJ)V", false);
        }
      };
    }
  }

  public static void main(String[] args) throws IOException {
    AsmCorpus corpus = AsmCorpus.load(args[0], bytes -> instrument(bytes, false));
    System.out.println("classes " + corpus.classes.size());
    System.out.println("refused " + corpus.refused);
    System.out.println("methods " + countMethods(corpus.classes));
    System.out.println("instrument_per_second " + corpus.medianRate(classes -> pass(classes, false)));
    System.out.println("instrument_shared_pool_per_second " + corpus.medianRate(classes -> pass(classes, true)));
  }

  private static byte[] instrument(byte[] bytes, boolean sharedPool) {
    ClassReader reader = new ClassReader(bytes);
    ClassWriter writer = sharedPool ? new ClassWriter(reader, ClassWriter.COMPUTE_MAXS)
                                    : new ClassWriter(ClassWriter.COMPUTE_MAXS);
    reader.accept(new Instrumenter(writer), ClassReader.EXPAND_FRAMES);
    return writer.toByteArray();
  }

  private static long countMethods(List<byte[]> classes) {
    long methods = 0;
    for (byte[] bytes : classes) {
      Instrumenter counter = new Instrumenter(new ClassWriter(ClassWriter.COMPUTE_MAXS));
      new ClassReader(bytes).accept(counter, ClassReader.EXPAND_FRAMES);
      methods += counter.methods;
    }
    return methods;
  }

  private static long pass(List<byte[]> classes, boolean sharedPool) {
    long sum = 0;
    for (byte[] bytes : classes) sum += instrument(bytes, sharedPool).length;
    return sum;
  }
}
